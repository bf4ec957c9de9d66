#pragma once
// Rewriting a file without ever losing it: the new text goes to a temporary file that is
// flushed to disk, the current file is kept as the backup through a hard link (or a copy),
// and one rename puts the new file in place. The file exists at every moment, even when the
// process is killed half-way.

#include <string_view>

// Returns 1 when the new content is in place; 0 when the temporary file could not be written
// or the final rename failed (the current file is then untouched). Logs "unlink backup file %s error\n" and
// "rename %s to %s error\n" for the backup and install steps that fail.
[[nodiscard]] int ReplaceFileSafely(const char* path, const char* temp_path, const char* backup_path,
                                    std::string_view content);
// Writes content to path and flushes it to disk; false on any failure.
bool WriteFileDurably(const char* path, std::string_view content);
