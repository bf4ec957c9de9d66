#pragma once
// A read-only file for the probes: positioned reads that count the bytes they read (per
// thread), so that a probe's read pattern can be measured.

#include <cstddef>
#include <cstdint>

class MediaFile {
public:
    explicit MediaFile(const char* path);
    ~MediaFile();
    MediaFile(const MediaFile&) = delete;
    MediaFile& operator=(const MediaFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // The size in bytes, -1 when it cannot be had.
    int64_t Size() const;
    // Reads up to length bytes at offset; what was read, 0 at the end, -1 on error.
    int64_t ReadAt(int64_t offset, void* buffer, std::size_t length) const;

private:
    int fd_ = -1;
};

// Bytes the calling thread has read through MediaFile so far.
uint64_t ProbeBytesRead();
