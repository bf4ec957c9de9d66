#include "core/log.h"

#include "core/config.h"
#include "core/platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

static std::atomic<int> g_system_message_counter{1};
static std::atomic<int> g_startup_message_counter{1};

// Keeps each message whole in the file (and long ones whole on standard error).
static std::mutex g_log_lock;
static FILE*      g_system_log_file = nullptr;     // guarded by g_log_lock

static std::size_t FormatMessage(char (&buffer)[kLogMessageSize], const char* format, va_list args)
{
    const int wanted = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (wanted < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(wanted) < sizeof buffer ? static_cast<std::size_t>(wanted)
                                                            : sizeof buffer - 1;
}

// Prefix and text go out in one write. The system keeps one write whole (a pipe up to 4096
// bytes, a file always), so a line of that size needs no lock of ours: threads that log at
// the same moment never wait for each other's write. Longer lines take the log lock.
static void WriteDebugOutput(const char* prefix, int number, const char* text, std::size_t length)
{
    constexpr std::size_t kWholeWrite = 4096;
    char line[48 + kLogMessageSize];
    const int head = std::snprintf(line, 48, prefix, number);
    const std::size_t head_length = head > 0 ? std::min<std::size_t>(static_cast<std::size_t>(head), 47) : 0;
    const std::size_t text_length = std::min(length, sizeof line - head_length);
    std::memcpy(line + head_length, text, text_length);
    if (head_length + text_length <= kWholeWrite) {
        DebugOutput(line, head_length + text_length);
        return;
    }
    std::lock_guard<std::mutex> held(g_log_lock);
    DebugOutput(line, head_length + text_length);
}

int LogSystemMessage(const char* format, ...)
{
    // With standard error on /dev/null and no system.log the line would go nowhere: it is only
    // counted, not made (a served page writes a dozen of them).
    if (g_config.system_log == 0 && DebugOutputDiscarded()) {
        g_system_message_counter.fetch_add(1);
        return 0;
    }
    char text[kLogMessageSize];
    va_list args;
    va_start(args, format);
    const std::size_t length = FormatMessage(text, format, args);
    va_end(args);

    WriteDebugOutput("System Message [%05d]: ", g_system_message_counter.fetch_add(1), text, length);
    if (g_config.system_log == 0 || length == 0) return 0;
    std::lock_guard<std::mutex> held(g_log_lock);
    if (g_system_log_file == nullptr) return 0;
    const std::size_t written = std::fwrite(text, 1, length, g_system_log_file);
    std::fflush(g_system_log_file);
    return static_cast<int>(written);
}

void LogStartupMessage(const char* format, ...)
{
    char text[kLogMessageSize];
    va_list args;
    va_start(args, format);
    const std::size_t length = FormatMessage(text, format, args);
    va_end(args);

    WriteDebugOutput("Quorvane Message [%05d]: ", g_startup_message_counter.fetch_add(1), text, length);
}

void OpenLogFile()
{
    FILE* file = std::fopen("system.log", "ab");
    {
        std::lock_guard<std::mutex> held(g_log_lock);
        if (g_system_log_file == nullptr) g_system_log_file = file;
        else if (file != nullptr) std::fclose(file);
    }
    if (file == nullptr) LogSystemMessage("Failed to open User System Log File ");
    LogSystemMessage("Open System Log....\n");
}

void CloseLogFile()
{
    {
        std::lock_guard<std::mutex> held(g_log_lock);
        if (g_system_log_file != nullptr) std::fclose(g_system_log_file);
        g_system_log_file = nullptr;
    }
    LogSystemMessage("Close System Log....\n");
}
