#include "channels/archive.h"

#include "channels/channel_table.h"
#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/text.h"
#include "users/channel_packages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <unistd.h>
#include <vector>

namespace {

CriticalSection       g_recording_lock;
std::set<std::string> g_recording;                 // guarded by g_recording_lock

bool Digits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The steps of a path without empty and "." steps, joined by "/".
std::string PlainSteps(std::string_view path)
{
    std::string plain;
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view step = path.substr(at, end - at);
        if (!step.empty() && step != ".") {
            if (!plain.empty()) plain += '/';
            plain.append(step);
        }
        at = end + 1;
    }
    return plain;
}

}  // namespace

bool RecordingFolderIsSafe(const char* rec_folder)
{
    const std::string_view folder(rec_folder);
    if (folder.empty() || folder.front() == '/' || folder.find('\\') != std::string_view::npos) return false;
    for (std::size_t at = 0; at <= folder.size();) {
        std::size_t end = folder.find('/', at);
        if (end == std::string_view::npos) end = folder.size();
        if (folder.substr(at, end - at) == "..") return false;
        at = end + 1;
    }
    return true;
}

bool IsArchiveFileName(std::string_view name)
{
    // 2012_08_01_13_20.ts
    if (name.size() != 19 || name.substr(16) != ".ts") return false;
    if (!Digits(name.substr(0, 4))) return false;
    for (std::size_t at = 4; at < 16; at += 3)
        if (name[at] != '_' || !Digits(name.substr(at + 1, 2))) return false;
    return true;
}

std::time_t ArchiveFileStart(std::string_view name)
{
    if (!IsArchiveFileName(name)) return -1;
    const auto field = [&](std::size_t at, std::size_t digits) { return std::atoi(std::string(name.substr(at, digits)).c_str()); };
    std::tm local{};
    local.tm_year = field(0, 4) - 1900;
    local.tm_mon = field(5, 2) - 1;
    local.tm_mday = field(8, 2);
    local.tm_hour = field(11, 2);
    local.tm_min = field(14, 2);
    local.tm_isdst = -1;                                  // as the recorder's clock had it then
    return std::mktime(&local);
}

void MarkArchiveRecording(const std::string& path, bool recording)
{
    ScopedLock held(g_recording_lock);
    if (recording) g_recording.insert(path);
    else g_recording.erase(path);
}

bool ArchiveFileRecording(const std::string& path)
{
    ScopedLock held(g_recording_lock);
    return g_recording.count(path) != 0;
}

std::string ArchiveListing(const std::string& folder, const std::string& link_name, int duration_minutes,
                           const ArchiveRemover& remove)
{
    std::vector<DirEntry> entries;
    if (duration_minutes <= 0 || !ListDirectory(folder, entries)) return "";
    std::vector<std::string> names;
    for (const DirEntry& entry : entries)
        if (entry.is_file) names.push_back(entry.name);
    return ArchiveListingOf(folder, std::move(names), link_name, duration_minutes, remove);
}

std::string ArchiveListingOf(const std::string& folder, std::vector<std::string> names, const std::string& link_name,
                             int duration_minutes, const ArchiveRemover& remove)
{
    if (duration_minutes <= 0) return "";
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return !IsArchiveFileName(name); }),
                names.end());
    std::sort(names.begin(), names.end());

    const std::size_t keep = std::max(1, 10080 / duration_minutes);
    std::size_t to_delete = names.size() > keep ? names.size() - keep : 0;
    const int hour_after = duration_minutes / 60;
    std::string listing;
    std::string day;
    for (const std::string& name : names) {
        if (name.compare(0, 10, day) != 0 || day.empty()) {
            if (!day.empty()) listing += "</frame>\r\n";
            day = name.substr(0, 10);
            listing += FormatString("<frame title=\"%s Channel: %s\">\r\n", link_name.c_str(), day.c_str());
        }
        const std::string path = folder + "/" + name;
        if (to_delete > 0 && !ArchiveFileRecording(path)) {
            // A file that cannot be deleted leaves the count as it is: the next one goes instead.
            if (remove(path)) {
                LogSystemMessage("Sucessfully Delete out-of-date recorded video: [%s]\n", path.c_str());
                --to_delete;
            } else {
                LogSystemMessage("Failed to Delete [%s]\n", path.c_str());
            }
            continue;
        }
        const std::string hour = name.substr(11, 2);
        const int hour_number = std::atoi(hour.c_str());
        listing += FormatString("<icon src=\"%d.png\" href=\"tv_program_archive/%s/%s\">%s~%02d</icon>\r\n", hour_number,
                                link_name.c_str(), name.c_str(), hour.c_str(), hour_number + hour_after);
    }
    if (!day.empty()) listing += "</frame>\r\n";
    return listing;
}

std::string ArchiveListing(const std::string& folder, const std::string& link_name, int duration_minutes)
{
    return ArchiveListing(folder, link_name, duration_minutes,
                          [](const std::string& path) { return unlink(path.c_str()) == 0; });
}

int StoredFileChannel(std::string_view path)
{
    const std::string plain = PlainSteps(path);
    const std::size_t slash = plain.rfind('/');
    if (slash == std::string::npos) return 0;
    const std::string_view folder = std::string_view(plain).substr(0, slash);
    const std::string_view name = std::string_view(plain).substr(slash + 1);
    constexpr std::string_view kShiftStart = "time_shift_ch[";
    if (folder == "timeshift" && name.starts_with(kShiftStart) && name.ends_with(']')) {
        const std::string_view digits = name.substr(kShiftStart.size(), name.size() - kShiftStart.size() - 1);
        if (!digits.empty() && digits.size() <= 5 && Digits(digits)) return std::atoi(std::string(digits).c_str());
        return 0;
    }
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    for (int32_t index = 0; index < table->Count(); ++index) {
        const char* rec_folder = table->channels[static_cast<std::size_t>(index)]->rec_folder;
        if (rec_folder[0] != '\0' && folder == PlainSteps(std::string("tv_program_archive/") + rec_folder)) return index + 1;
    }
    return 0;
}

bool UserMayOpenStoredFile(const char* user_name, std::string_view path)
{
    const int channel = StoredFileChannel(path);
    return channel == 0 || UserMayWatchChannel(user_name, channel);
}
