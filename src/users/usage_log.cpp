#include "users/usage_log.h"

#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"

#include <cstdarg>
#include <cstdio>

static CriticalSection g_user_log_lock;
static FILE*           g_watch_log = nullptr;   // guarded by g_user_log_lock
static FILE*           g_point_log = nullptr;   // guarded by g_user_log_lock

void OpenUserLogs()
{
    FILE* point = std::fopen("users/user_point_log.csv", "a+b");
    FILE* watch = std::fopen("users/user_watch_log.csv", "a+b");
    {
        ScopedLock held(g_user_log_lock);
        if (g_point_log != nullptr) std::fclose(g_point_log);
        if (g_watch_log != nullptr) std::fclose(g_watch_log);
        g_point_log = point;
        g_watch_log = watch;
    }
    if (point == nullptr) LogSystemMessage("Failed to open User Billing Log File ");
    if (watch == nullptr) LogSystemMessage("Failed to open User Watch Log File ");
    LogSystemMessage("Open User Log....\n");
}

void CloseUserLogs()
{
    {
        ScopedLock held(g_user_log_lock);
        if (g_point_log != nullptr) std::fclose(g_point_log);
        if (g_watch_log != nullptr) std::fclose(g_watch_log);
        g_point_log = nullptr;
        g_watch_log = nullptr;
    }
    LogSystemMessage("Close User Log....\n");
}

static void Append(FILE*& file, const std::string& line)
{
    ScopedLock held(g_user_log_lock);
    if (file == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}

static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
static std::string Format(const char* format, ...)
{
    char line[4096];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) return std::string();
    // A line cut to the buffer still ends with its line break.
    if (static_cast<std::size_t>(length) >= sizeof line) line[sizeof line - 2] = '\n';
    return std::string(line, static_cast<std::size_t>(length) < sizeof line ? static_cast<std::size_t>(length) : sizeof line - 1);
}

#define TIME_FIELDS(t) (t).tm_mon + 1, (t).tm_mday, (t).tm_hour, (t).tm_min, (t).tm_sec, (t).tm_year + 1900

std::string MovieStartLine(const std::tm& when, const char* id, const char* user_name, const char* movie,
                           int32_t duration)
{
    return Format("%02d/%02d %02d:%02d:%02d %04d --> ID : [%s] UserName =[%s] Start Movie Name: [%s], Movie Duration: [%d]\n",
                  TIME_FIELDS(when), id, user_name, movie, duration);
}

std::string MovieEndLine(const std::tm& when, const char* id, const char* user_name, const char* movie)
{
    return Format("%02d/%02d %02d:%02d:%02d %04d --> ID : [%s] UserName =[%s] End Movie Name: [%s]\n",
                  TIME_FIELDS(when), id, user_name, movie);
}

std::string ChannelStartLine(const std::tm& when, const char* user_name, int32_t channel_number)
{
    return Format("%02d/%02d %02d:%02d:%02d %04d --> UserName =[%s] Start to Watch Channel no.= [%d]\n",
                  TIME_FIELDS(when), user_name, channel_number);
}

std::string ChannelEndLine(const std::tm& when, const char* user_name, int32_t channel_number)
{
    return Format("%02d/%02d %02d:%02d:%02d %04d --> UserName =[%s] End to Watch Channel no.= [%d]\n",
                  TIME_FIELDS(when), user_name, channel_number);
}

static void StoreStamp(const std::tm& when, char* stamp, std::size_t stamp_size)
{
    if (stamp == nullptr || stamp_size == 0) return;
    std::snprintf(stamp, stamp_size, "%04d/%02d/%02d %02d:%02d:%02d", when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
}

void LogMovieStart(const char* id, const char* user_name, const char* movie, int32_t duration, char* stamp,
                   std::size_t stamp_size)
{
    const std::tm now = LocalTime();
    const std::string line = MovieStartLine(now, id, user_name, movie, duration);
    Append(g_watch_log, line);
    LogSystemMessage("%s", line.c_str());
    StoreStamp(now, stamp, stamp_size);
}

void LogMovieEnd(const char* id, const char* user_name, const char* movie)
{
    Append(g_watch_log, MovieEndLine(LocalTime(), id, user_name, movie));
}

void LogChannelStart(const char* user_name, int32_t channel_number, char* stamp, std::size_t stamp_size)
{
    const std::tm now = LocalTime();
    Append(g_watch_log, ChannelStartLine(now, user_name, channel_number));
    StoreStamp(now, stamp, stamp_size);
}

void LogChannelEnd(const char* user_name, int32_t channel_number)
{
    Append(g_watch_log, ChannelEndLine(LocalTime(), user_name, channel_number));
}

void WritePointLog(const char* text)
{
    Append(g_point_log, std::string(text));
}
