#include "users/channel_packages.h"

#include "core/file_replace.h"
#include "core/log.h"
#include "users/user_db.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <unordered_set>

static constexpr const char* kPackageFile           = "channel_packages.csv";
static constexpr const char* kPackageTempFile       = "channel_packages_temp.csv";
static constexpr const char* kPackageBackupFile     = "channel_packages_backup.csv";
static constexpr const char* kUserPackageFile       = "user_packages.csv";
static constexpr const char* kUserPackageTempFile   = "user_packages_temp.csv";
static constexpr const char* kUserPackageBackupFile = "user_packages_backup.csv";
static constexpr int         kHighestChannel        = 65535;
static constexpr std::size_t kLargestPackageFile    = 1 << 20;

// The published table; readers copy the pointer under the lock and read without it.
static std::mutex                           g_package_table_lock;
static std::shared_ptr<const PackageTable>  g_package_table = std::make_shared<PackageTable>();
// Serialises every change of either file with the reload that follows it.
static std::mutex                           g_package_file_lock;

bool ChannelPackage::Holds(int channel_number) const
{
    for (const auto& [first, last] : ranges)
        if (channel_number >= first && channel_number <= last) return true;
    return false;
}

const ChannelPackage* PackageTable::Find(std::string_view name) const
{
    const auto found = package_index.find(std::string(name));
    return found == package_index.end() ? nullptr : &packages[found->second];
}

bool PackageTable::MayWatch(std::string_view user_name, int channel_number) const
{
    if (user_name == "root") return true;
    if (unreadable) return false;
    const auto held = user_packages.find(std::string(user_name));
    if (held == user_packages.end()) return true;
    for (const std::string& name : held->second) {
        const ChannelPackage* package = Find(name);
        if (package != nullptr && package->Holds(channel_number)) return true;
    }
    return false;
}

static std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// The trimmed fields of a text; none for a blank one.
static std::vector<std::string_view> SplitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    if (Trimmed(line).empty()) return fields;
    std::size_t at = 0;
    while (true) {
        const std::size_t comma = line.find(',', at);
        fields.push_back(Trimmed(line.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at)));
        if (comma == std::string_view::npos) break;
        at = comma + 1;
    }
    return fields;
}

// The fields of a package file line; none for a blank or "#" line.
static std::vector<std::string_view> FieldsOf(std::string_view line)
{
    if (Trimmed(line).starts_with('#')) return {};
    return SplitFields(line);
}

// The fields of a user line: the first one is the name as written (only the line end goes).
static std::vector<std::string_view> UserFieldsOf(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> fields = SplitFields(line);
    if (!fields.empty()) fields[0] = line.substr(0, line.find(','));
    return fields;
}

template <typename Each>
static void ForEachLine(std::string_view text, Each each)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        each(text.substr(at, end - at));
        at = end + 1;
    }
}

// A channel number from 1 to the highest; 0 for anything else.
static int ChannelNumber(std::string_view text)
{
    if (text.empty() || text.size() > 5) return 0;
    int number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        number = number * 10 + (c - '0');
    }
    return number <= kHighestChannel ? number : 0;
}

// "7" or "5-9" into range; false for anything else (a range must not run backwards).
static bool ChannelRange(std::string_view field, std::pair<int, int>& range)
{
    const std::size_t dash = field.find('-');
    const int first = ChannelNumber(Trimmed(field.substr(0, dash)));
    const int last = dash == std::string_view::npos ? first : ChannelNumber(Trimmed(field.substr(dash + 1)));
    if (first == 0 || last == 0 || last < first) return false;
    range = {first, last};
    return true;
}

void ParseChannelPackages(std::string_view text, PackageTable& table)
{
    ForEachLine(text, [&](std::string_view line) {
        const std::vector<std::string_view> fields = FieldsOf(line);
        if (fields.empty() || fields[0].empty() || table.Find(fields[0]) != nullptr) return;
        table.package_index.emplace(std::string(fields[0]), table.packages.size());
        ChannelPackage package;
        package.name = fields[0];
        for (std::size_t i = 1; i < fields.size(); ++i) {
            std::pair<int, int> range;
            if (ChannelRange(fields[i], range)) package.ranges.push_back(range);
        }
        table.packages.push_back(std::move(package));
    });
}

void ParseUserPackages(std::string_view text, PackageTable& table)
{
    std::unordered_set<std::string> seen;
    ForEachLine(text, [&](std::string_view line) {
        const std::vector<std::string_view> fields = UserFieldsOf(line);
        if (fields.empty() || fields[0].empty() || !seen.emplace(fields[0]).second) return;
        std::vector<std::string> names;
        for (std::size_t i = 1; i < fields.size(); ++i)
            if (!fields[i].empty()) names.emplace_back(fields[i]);
        if (!names.empty()) table.user_packages.emplace(std::string(fields[0]), std::move(names));
    });
}

// The file's whole text; "" when it does not exist. False (logged) when it cannot be opened
// or read to its end, or is above the size limit.
static bool ReadPackageFile(const char* path, std::string& text)
{
    text.clear();
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        LogSystemMessage("Channel packages: [%s] cannot be opened (%s)\n", path, std::strerror(errno));
        return false;
    }
    char buffer[16384];
    bool whole = false;
    while (text.size() <= kLargestPackageFile) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            whole = got == 0;
            if (!whole) LogSystemMessage("Channel packages: [%s] cannot be read (%s)\n", path, std::strerror(errno));
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    if (whole && text.size() <= kLargestPackageFile) return true;
    if (text.size() > kLargestPackageFile)
        LogSystemMessage("Channel packages: [%s] is above %d bytes: not read\n", path, static_cast<int>(kLargestPackageFile));
    text.clear();
    return false;
}

int LoadChannelPackages()
{
    std::string packages;
    std::string users;
    if (!ReadPackageFile(kPackageFile, packages) || !ReadPackageFile(kUserPackageFile, users)) {
        LogSystemMessage("Channel packages: the package files cannot be read\n");
        std::lock_guard<std::mutex> held(g_package_table_lock);
        if (!g_package_table->loaded) {
            LogSystemMessage("Channel packages: only root may watch until they can be read\n");
            auto closed = std::make_shared<PackageTable>();
            closed->unreadable = true;
            g_package_table = std::move(closed);
        }
        return 0;
    }
    auto table = std::make_shared<PackageTable>();
    table->loaded = true;
    ParseChannelPackages(packages, *table);
    ParseUserPackages(users, *table);
    LogSystemMessage("System Message: There are [%d] channel packages and [%d] users with packages\n",
                     static_cast<int>(table->packages.size()), static_cast<int>(table->user_packages.size()));
    std::shared_ptr<const PackageTable> published = std::move(table);
    std::lock_guard<std::mutex> held(g_package_table_lock);
    g_package_table.swap(published);
    return 1;
}

std::shared_ptr<const PackageTable> CurrentPackages()
{
    std::lock_guard<std::mutex> held(g_package_table_lock);
    return g_package_table;
}

bool UserMayWatchChannel(const char* user_name, int channel_number)
{
    if (CurrentPackages()->MayWatch(user_name, channel_number)) return true;
    LogSystemMessage("User [%s] has no package with channel [%d]\n", user_name, channel_number);
    return false;
}

std::string PackageChannels(const ChannelPackage& package)
{
    std::string text;
    for (const auto& [first, last] : package.ranges) {
        if (!text.empty()) text += ",";
        text += std::to_string(first);
        if (last != first) text += "-" + std::to_string(last);
    }
    return text;
}

// A name a change may write: not empty, no longer than size - 1, no "," or control character;
// a package name also without spaces at its ends and not starting with "#" (a user name is
// written as the user file has it).
static bool WritableName(std::string_view name, std::size_t size, bool user)
{
    if (name.empty() || name.size() >= size) return false;
    if (!user && (Trimmed(name) != name || name.front() == '#')) return false;
    for (const char c : name)
        if (c == ',' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

// Rewrites path with the line of name (the first field) replaced by line, or removed when line
// is empty; a new name's line goes at the end. Every line is written with "\r\n"; a removal of
// a name without a line writes nothing. The caller holds the file lock. 1, 0 when the file
// cannot be read or rewritten.
static int RewriteNamedLine(const char* path, const char* temp, const char* backup, std::string_view name,
                            const std::string& line)
{
    std::string text;
    if (!ReadPackageFile(path, text)) return 0;
    const bool users = std::strcmp(path, kUserPackageFile) == 0;
    std::string content;
    bool placed = false;
    ForEachLine(text, [&](std::string_view old) {
        if (!old.empty() && old.back() == '\r') old.remove_suffix(1);
        const std::vector<std::string_view> fields = users ? UserFieldsOf(old) : FieldsOf(old);
        if (!fields.empty() && fields[0] == name) {
            if (!placed && !line.empty()) content.append(line).append("\r\n");
            placed = true;
            return;
        }
        if (!old.empty()) content.append(old).append("\r\n");
    });
    if (!placed && line.empty()) return 1;                 // nothing to remove: the file stays as it is
    if (!placed) content.append(line).append("\r\n");
    if (ReplaceFileSafely(path, temp, backup, content) == 0) return 0;
    return 1;
}

int SetChannelPackage(const char* name, const char* channels)
{
    if (!WritableName(name, kPackageNameSize, false)) return 0;
    ChannelPackage package;
    package.name = name;
    for (const std::string_view field : SplitFields(channels)) {
        std::pair<int, int> range;
        if (field.empty()) continue;
        if (!ChannelRange(field, range)) return 0;
        package.ranges.push_back(range);
    }
    if (package.ranges.empty() && !Trimmed(channels).empty()) return 0;    // "," alone
    const std::string channel_text = PackageChannels(package);
    const std::string line = channel_text.empty() ? package.name : package.name + "," + channel_text;
    std::lock_guard<std::mutex> held(g_package_file_lock);
    if (RewriteNamedLine(kPackageFile, kPackageTempFile, kPackageBackupFile, name, line) == 0) return 0;
    LoadChannelPackages();
    return 1;
}

int RemoveChannelPackage(const char* name)
{
    std::lock_guard<std::mutex> held(g_package_file_lock);
    if (CurrentPackages()->Find(name) == nullptr) return 0;
    if (RewriteNamedLine(kPackageFile, kPackageTempFile, kPackageBackupFile, name, "") == 0) return 0;
    LoadChannelPackages();
    return 1;
}

int SetUserPackages(const char* user_name, const char* packages)
{
    if (!WritableName(user_name, kUserNameSize, true)) return 0;
    std::lock_guard<std::mutex> held(g_package_file_lock);
    const std::shared_ptr<const PackageTable> table = CurrentPackages();
    std::string line = user_name;
    bool any = false;
    for (const std::string_view name : SplitFields(packages)) {
        if (name.empty()) continue;
        if (table->Find(name) == nullptr) return 0;        // only packages that exist are given
        line.append(",").append(name);
        any = true;
    }
    if (!any && !Trimmed(packages).empty()) return 0;     // "," alone
    if (RewriteNamedLine(kUserPackageFile, kUserPackageTempFile, kUserPackageBackupFile, user_name, any ? line : "") == 0)
        return 0;
    LoadChannelPackages();
    return 1;
}

int RemoveUserPackages(const char* user_name)
{
    std::lock_guard<std::mutex> held(g_package_file_lock);
    if (RewriteNamedLine(kUserPackageFile, kUserPackageTempFile, kUserPackageBackupFile, user_name, "") == 0) return 0;
    LoadChannelPackages();
    return 1;
}

// A range without channel `deleted`, the channels after it one lower; false when nothing is left.
static bool RangeWithout(std::pair<int, int>& range, int deleted)
{
    auto& [first, last] = range;
    if (first == deleted && last == deleted) return false;
    if (first > deleted) --first;
    if (last >= deleted) --last;
    return true;
}

int RenumberPackagesAfterChannelDelete(int deleted)
{
    std::lock_guard<std::mutex> held(g_package_file_lock);
    std::string text;
    if (!ReadPackageFile(kPackageFile, text)) return 0;
    std::string content;
    bool changed = false;
    ForEachLine(text, [&](std::string_view old) {
        if (!old.empty() && old.back() == '\r') old.remove_suffix(1);
        const std::vector<std::string_view> fields = FieldsOf(old);
        if (fields.empty() || fields[0].empty()) {
            if (!old.empty()) content.append(old).append("\r\n");
            return;
        }
        ChannelPackage package;
        package.name = fields[0];
        for (std::size_t i = 1; i < fields.size(); ++i) {
            std::pair<int, int> range;
            if (ChannelRange(fields[i], range) && RangeWithout(range, deleted)) package.ranges.push_back(range);
        }
        const std::string channel_text = PackageChannels(package);
        const std::string line = channel_text.empty() ? package.name : package.name + "," + channel_text;
        changed = changed || line != old;
        content.append(line).append("\r\n");
    });
    if (!changed) return 1;
    if (ReplaceFileSafely(kPackageFile, kPackageTempFile, kPackageBackupFile, content) == 0) return 0;
    LogSystemMessage("Channel packages: channel [%d] was deleted; the packages lose it and its later channels move down by one\n",
                     deleted);
    LoadChannelPackages();
    return 1;
}
