#include "media/served_file.h"

#include "core/platform/platform.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Files whose contents must never leave the server (configuration, users, source
// credentials), with their temporary and backup companions.
const char* const kProtectedFiles[] = {
    "quorvane_config.txt",       "user_profile.csv",          "user_profile.csv.bak",
    "user_profile_backup.csv",   "user_profile_temp.csv",     "iptvepg.txt",
    "iptvepg_old.txt",           "xan_dns.txt",               "channel_definition.xml",
    "channel_definition_temp.xml", "channel_definition_backup.xml", "quorvane_config_temp.txt",
    "quorvane_config_backup.txt",
};

}  // namespace

bool HasDotDotSegment(const std::string& path)
{
    std::size_t at = 0;
    while ((at = path.find("..", at)) != std::string::npos) {
        const bool starts = at == 0 || path[at - 1] == '/';
        const bool ends   = at + 2 == path.size() || path[at + 2] == '/';
        if (starts && ends) return true;
        ++at;
    }
    return false;
}

// A requested name resolved, and the file it led to then.
struct ResolvedName {
    std::string path;
    dev_t       device = 0;
    ino_t       inode = 0;
};
constexpr std::size_t kResolvedNamesMax = 1024;

// The working directory resolved and the identities of the protected files, looked up again
// at most once a second (a page request would otherwise cost a dozen stat calls for them); and
// the names resolved since (resolving one costs a call per folder of its path). A name is
// taken from there only while it still opens the same file: a link changed to lead elsewhere
// opens another one and is resolved again.
struct GuardedFiles {
    std::mutex                              lock;
    std::string                             folder;     // the working directory they were taken for
    std::string                             base;       // its resolved path
    std::string                             admin;      // the resolved admin folder, when it lies elsewhere
    std::vector<std::pair<dev_t, ino_t>>    ids;
    std::unordered_map<std::string, ResolvedName> names;
    uint64_t                                taken_ms = 0;
};
static GuardedFiles g_guarded_files;

static bool LiesIn(const char* resolved, const std::string& base)
{
    const std::size_t length = base.size();
    return !base.empty() && std::strncmp(resolved, base.c_str(), length) == 0 &&
           (resolved[length] == '/' || length == 1);
}

// True when the open file is one of the protected files (the same file, whatever the spelling
// of the path: by its resolved name, and by its identity as of the last second), or lies
// outside the working directory (unless reached through the admin link to the folder it points
// to: an installed server keeps its pages where its own account cannot change them).
static bool IsForbidden(const struct stat& opened, const std::string& full_name, const std::string& folder)
{
    std::string resolved;
    std::string base;
    std::string admin;
    bool same_file = false;
    {
        std::lock_guard<std::mutex> held(g_guarded_files.lock);
        GuardedFiles& guarded = g_guarded_files;
        const uint64_t now = GetTickMs();
        if (guarded.folder != folder || now - guarded.taken_ms >= 1000 || guarded.taken_ms == 0) {
            char resolved_base[PATH_MAX];
            if (realpath(folder.c_str(), resolved_base) == nullptr) return true;
            guarded.folder = folder;
            guarded.base = resolved_base;
            char resolved_admin[PATH_MAX];
            guarded.admin.clear();
            if (realpath((folder + "/admin").c_str(), resolved_admin) != nullptr && !LiesIn(resolved_admin, guarded.base))
                guarded.admin = resolved_admin;
            guarded.ids.clear();
            for (const char* name : kProtectedFiles) {
                struct stat info{};
                const std::string path = folder + "/" + name;
                if (stat(path.c_str(), &info) == 0) guarded.ids.emplace_back(info.st_dev, info.st_ino);
            }
            guarded.names.clear();
            guarded.taken_ms = now;
        }
        const auto known = guarded.names.find(full_name);
        if (known != guarded.names.end() && known->second.device == opened.st_dev && known->second.inode == opened.st_ino)
            resolved = known->second.path;
        base = guarded.base;
        admin = guarded.admin;
        for (const auto& [device, inode] : guarded.ids) same_file = same_file || (device == opened.st_dev && inode == opened.st_ino);
    }
    if (same_file) return true;
    if (resolved.empty()) {
        char path[PATH_MAX];
        if (realpath(full_name.c_str(), path) == nullptr) return true;
        resolved = path;
        std::lock_guard<std::mutex> held(g_guarded_files.lock);
        if (g_guarded_files.names.size() < kResolvedNamesMax)
            g_guarded_files.names[full_name] = ResolvedName{resolved, opened.st_dev, opened.st_ino};
    }
    for (const char* name : kProtectedFiles)
        if (base + "/" + name == resolved) return true;
    const bool through_admin = full_name.starts_with(folder + "/admin/") && LiesIn(resolved.c_str(), admin);
    return !LiesIn(resolved.c_str(), base) && !through_admin;
}

bool IsForbiddenFile(int fd, const std::string& full_name, const std::string& folder)
{
    struct stat opened{};
    return fstat(fd, &opened) != 0 || IsForbidden(opened, full_name, folder);
}

std::string ServedFileName(const std::string& folder, const std::string& path)
{
    return folder + (path.starts_with('/') ? "" : "/") + path;
}

ServedFile OpenServedFile(const std::string& folder, const std::string& path)
{
    ServedFile file;
    if (HasDotDotSegment(path)) return file;
    const std::string name = ServedFileName(folder, path);
    // Never blocks on a FIFO (refused below as not a regular file); no effect on files.
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return file;
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return file;
    }
    if (IsForbidden(info, name, folder)) {
        close(fd);
        file.outcome = ServedFileOutcome::kForbidden;
        return file;
    }
    file.outcome = ServedFileOutcome::kOpened;
    file.fd      = fd;
    file.size    = static_cast<int64_t>(info.st_size);
    file.mtime   = info.st_mtime;
    return file;
}
