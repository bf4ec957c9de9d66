#include "core/file_replace.h"

#include "core/log.h"
#include "core/platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool WriteWhole(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes content to an open file, flushes it to disk and closes it; false on any failure.
static bool FillAndClose(int fd, std::string_view content)
{
    const bool written = WriteWhole(fd, content.data(), content.size()) && fsync(fd) == 0;
    return close(fd) == 0 && written;
}

bool WriteFileDurably(const char* path, std::string_view content)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    return FillAndClose(fd, content);
}

// A new temporary file "<path>.XXXXXX" holding content, with the file's permissions (0644 less
// the process's file creation mask for a new file). Its name, or "" when it could not be written (nothing is left behind). The HTTP
// routes never reach such a name: a request path ends at its first known extension, which is
// the file's own or a prefix of the six random characters, never the whole name.
static std::string WriteOwnTemporary(const char* path, std::string_view content)
{
    std::string name = std::string(path) + ".XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return {};
    struct stat current{};
    const mode_t mode = stat(path, &current) == 0 ? (current.st_mode & 07777) : (0644 & ~ProcessUmask());
    if (fchmod(fd, mode) != 0 || !FillAndClose(fd, content)) {
        unlink(name.c_str());
        return {};
    }
    return name;
}

// A copy for file systems without hard links.
static bool CopyFile(const char* from, const char* to)
{
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    std::string content;
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            close(in);
            return false;
        }
        if (got == 0) break;
        content.append(chunk, static_cast<std::size_t>(got));
    }
    close(in);
    return WriteFileDurably(to, content);
}

static void SyncFolderOf(const char* path)
{
    std::string folder(path);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash == 0 ? 1 : slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

int ReplaceFileSafely(const char* path, const char* fixed_temp_path, const char* backup_path, std::string_view content)
{
    std::string own_temp;
    if (fixed_temp_path == nullptr) {
        own_temp = WriteOwnTemporary(path, content);
        if (own_temp.empty()) return 0;
    } else if (!WriteFileDurably(fixed_temp_path, content)) {
        unlink(fixed_temp_path);
        return 0;
    }
    const char* temp_path = fixed_temp_path != nullptr ? fixed_temp_path : own_temp.c_str();
    if (unlink(backup_path) != 0) LogSystemMessage("unlink backup file %s error\n", backup_path);
    if (access(path, F_OK) == 0 && link(path, backup_path) != 0 && !CopyFile(path, backup_path))
        LogSystemMessage("rename %s to %s error\n", path, backup_path);
    if (rename(temp_path, path) != 0) {
        LogSystemMessage("rename %s to %s error\n", temp_path, path);
        if (fixed_temp_path == nullptr) unlink(temp_path);
        return 0;
    }
    SyncFolderOf(path);
    return 1;
}

FileRewriteLock::FileRewriteLock(const char* path, int wait_ms)
{
    const std::string lock_path = std::string(path) + ".lock";
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // Polled rather than blocking, so that a holder that never lets go costs at most wait_ms.
    const uint64_t deadline_ms = GetTickMs() + static_cast<uint64_t>(wait_ms > 0 ? wait_ms : 0);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || GetTickMs() >= deadline_ms) break;
        SleepMs(2);
    }
    close(fd);
}

FileRewriteLock::~FileRewriteLock()
{
    if (fd_ >= 0) close(fd_);                      // closing the last descriptor lets go
}
