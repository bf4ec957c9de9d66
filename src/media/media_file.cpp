#include "media/media_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static thread_local uint64_t t_bytes_read = 0;

uint64_t ProbeBytesRead() { return t_bytes_read; }

MediaFile::MediaFile(const char* path)
{
    if (path != nullptr) fd_ = open(path, O_RDONLY | O_CLOEXEC);
}

MediaFile::~MediaFile()
{
    if (fd_ >= 0) close(fd_);
}

int64_t MediaFile::Size() const
{
    struct stat info{};
    if (fd_ < 0 || fstat(fd_, &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

int64_t MediaFile::ReadAt(int64_t offset, void* buffer, std::size_t length) const
{
    if (fd_ < 0 || offset < 0) return -1;
    std::size_t done = 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (done < length) {
        const ssize_t got = pread(fd_, bytes + done, length - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    t_bytes_read += done;
    return static_cast<int64_t>(done);
}
