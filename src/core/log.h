#pragma once
// The system logger used by every module, and the start-up logger of the entry point.
// Each message goes to the debugger output (standard error) behind its numbered prefix;
// system messages also go, bare and byte for byte, to "system.log" while it is open.

#include <cstddef>

constexpr std::size_t kLogMessageSize = 5120;     // a message keeps at most 5119 characters

// Returns the number of bytes written to "system.log", 0 when nothing was written there.
__attribute__((format(printf, 1, 2))) int LogSystemMessage(const char* format, ...);
// Prefix "Quorvane Message [%05d]: ", own counter; never writes the file.
__attribute__((format(printf, 1, 2))) void LogStartupMessage(const char* format, ...);

// Opens "system.log" in the working directory for appending.
void OpenLogFile();
void CloseLogFile();
