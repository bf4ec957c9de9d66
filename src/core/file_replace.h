#pragma once
// Rewriting a file without ever losing it: the new text goes to a temporary file that is
// flushed to disk, the current file is kept as the backup through a hard link (or a copy),
// and one rename puts the new file in place. The file exists at every moment, even when the
// process is killed half-way.

#include <cstddef>
#include <string_view>

// Writes length bytes of data to a file descriptor, again after a signal or a short write;
// false on any failure.
bool WriteWhole(int fd, const char* data, std::size_t length);

// Returns 1 when the new content is in place; 0 when the temporary file could not be written
// or the final rename failed (the current file is then untouched). Logs "unlink backup file %s error\n" and
// "rename %s to %s error\n" for the backup and install steps that fail.
// temp_path names a fixed temporary file, for files that only this process writes, under a
// lock of its own; nullptr gives the writer a temporary file of its own beside the file
// ("<path>.XXXXXX"), for files that other processes rewrite too (see FileRewriteLock).
[[nodiscard]] int ReplaceFileSafely(const char* path, const char* temp_path, const char* backup_path,
                                    std::string_view content);
// Writes content to path and flushes it to disk; false on any failure.
bool WriteFileDurably(const char* path, std::string_view content);

// An exclusive lock, across processes, on "<path>.lock" beside a file that several processes
// rewrite: held from before the file is read until its rewrite is in place, so that no writer
// loses another's change. Taking it waits at most wait_ms; the lock file itself stays.
class FileRewriteLock {
public:
    FileRewriteLock(const char* path, int wait_ms);
    ~FileRewriteLock();
    FileRewriteLock(const FileRewriteLock&) = delete;
    FileRewriteLock& operator=(const FileRewriteLock&) = delete;
    // False when the lock could not be taken in time (or its file not opened).
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};
