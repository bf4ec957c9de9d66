#pragma once
// The per-minute channel audience log "channel_log/channel_active_player_log_%d_%d.csv"
// (month, year): one line a minute with every channel's active player count.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// The channel log writer thread: a line at once and then every 60 s, until the channel log
// stop flag is raised.
int32_t ChannelLogWriter(void* unused);
// The line for the counts at a given time: "%02d/%02d/%04d %02d:%02d:%02d," then the counts
// separated by "," and "\n" (also for no channel).
std::string ChannelLogLine(const std::tm& when, const std::vector<int32_t>& counts);
// The lines of the month's file that hold "%s/%s/%s %s" (month, day, year, hour as given),
// up to the first line without it after one with it. The file is named with the month as a
// number and the year as given (digits only). 1 with the lines in out, 0 when the year is
// not digits or the file cannot be opened.
int ReadChannelLogLines(const char* year, const char* month, const char* day, const char* hour, std::string& out);
