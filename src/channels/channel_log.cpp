#include "channels/channel_log.h"

#include "channels/channel_table.h"
#include "core/file_replace.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <unistd.h>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHolder = std::unique_ptr<FILE, FileCloser>;

// Appends one line for every channel's current count to the month's file.
void WriteChannelLogLine()
{
    const std::tm now = LocalTime();
    char path[96];
    FormatText(path, "channel_log/channel_active_player_log_%d_%d.csv", now.tm_mon + 1, now.tm_year + 1900);
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        LogSystemMessage("Failed to open Channel Active Player Log File ");
        return;
    }
    std::vector<int32_t> counts;
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    counts.reserve(table->channels.size());
    for (const auto& channel : table->channels) {
        ScopedLock held(channel->lock);
        counts.push_back(channel->active_players);
    }
    // The whole line in one write: a reader of the file never sees half a minute.
    const std::string line = ChannelLogLine(now, counts);
    (void)WriteWhole(fd, line.data(), line.size());
    close(fd);
}

bool AllDigits(std::string_view text)
{
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Reads the next line with its "\n" (none at the end of the file) into line; false at the end.
bool ReadLine(FILE* file, std::string& line)
{
    line.clear();
    char chunk[4096];
    while (std::fgets(chunk, sizeof chunk, file) != nullptr) {
        line.append(chunk);
        if (!line.empty() && line.back() == '\n') return true;
    }
    return !line.empty();
}

}  // namespace

int32_t ChannelLogWriter(void* /*unused*/)
{
    LogSystemMessage("Channel Log Opened....\n");
    int passes = 0;
    while (g_channel_log_stop.load() == 0) {
        if (passes % 60 == 0) {
            WriteChannelLogLine();
            passes = 0;
        }
        ++passes;
        SleepUnlessStopping(1000);
    }
    LogSystemMessage("Channel Log Closed....\n");
    return 0;
}

std::string ChannelLogLine(const std::tm& when, const std::vector<int32_t>& counts)
{
    char stamp[64];
    FormatText(stamp, "%02d/%02d/%04d %02d:%02d:%02d,", when.tm_mon + 1, when.tm_mday, when.tm_year + 1900, when.tm_hour,
               when.tm_min, when.tm_sec);
    std::string line = stamp;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i > 0) line.push_back(',');
        line.append(std::to_string(counts[i]));
    }
    line.push_back('\n');
    return line;
}

int ReadChannelLogLines(const char* year, const char* month, const char* day, const char* hour, std::string& out)
{
    out.clear();
    const std::string_view year_text = year != nullptr ? year : "";
    // The year becomes part of a file name.
    if (!AllDigits(year_text)) return 0;
    const char* month_text = month != nullptr ? month : "";
    const std::string path = "channel_log/channel_active_player_log_" + std::to_string(std::atoi(month_text)) + "_" +
                             std::string(year_text) + ".csv";
    const FileHolder file(std::fopen(path.c_str(), "rb"));
    if (file == nullptr) return 0;
    const std::string key = std::string(month_text) + "/" + (day != nullptr ? day : "") + "/" + std::string(year_text) +
                            " " + (hour != nullptr ? hour : "");
    bool in_block = false;
    std::string line;
    while (g_channel_log_stop.load() == 0 && ReadLine(file.get(), line)) {
        if (line.find(key) != std::string::npos) {
            in_block = true;
            out.append(line);
        } else if (in_block) {
            break;
        }
    }
    return 1;
}
