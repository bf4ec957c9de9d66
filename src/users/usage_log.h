#pragma once
// The watch log "users/user_watch_log.csv" and the point log "users/user_point_log.csv":
// append-only, one line per event, kept whole by the user log lock.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Opened at start-up, closed at shutdown; a log that cannot be opened is skipped.
void OpenUserLogs();
void CloseUserLogs();

// Each writes its line with the local time. The start events also store the time as
// "%04d/%02d/%02d %02d:%02d:%02d" in stamp (stamp_size bytes), the connection's player time.
void LogMovieStart(const char* id, const char* user_name, const char* movie, int32_t duration, char* stamp,
                   std::size_t stamp_size);
void LogMovieEnd(const char* id, const char* user_name, const char* movie);
void LogChannelStart(const char* user_name, int32_t channel_number, char* stamp, std::size_t stamp_size);
void LogChannelEnd(const char* user_name, int32_t channel_number);
// Appends text as it stands to the point log.
void WritePointLog(const char* text);

// The lines themselves, for a given time (tests compare them byte for byte).
std::string MovieStartLine(const std::tm& when, const char* id, const char* user_name, const char* movie,
                           int32_t duration);
std::string MovieEndLine(const std::tm& when, const char* id, const char* user_name, const char* movie);
std::string ChannelStartLine(const std::tm& when, const char* user_name, int32_t channel_number);
std::string ChannelEndLine(const std::tm& when, const char* user_name, int32_t channel_number);
