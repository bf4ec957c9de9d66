// Fuzz entry for the MP4 reader: the bytes are the file, served through a memfd. Walks a
// bounded number of samples, seeks to a time taken from the first bytes and walks again.

#include "media/mp4_reader.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int fd = memfd_create("fuzz-mp4", 0);
    if (fd < 0) return 0;
    for (size_t done = 0; done < size;) {
        const ssize_t written = write(fd, data + done, size - done);
        if (written <= 0) break;
        done += static_cast<size_t>(written);
    }
    Mp4Reader reader;
    std::string error;
    if (reader.Open(fd, error)) {
        Mp4Sample sample;
        std::vector<uint8_t> bytes;
        for (int i = 0; i < 2000 && reader.Next(sample); ++i) (void)reader.ReadSample(sample, bytes);
        int64_t when = 0;
        for (size_t i = 0; i < size && i < 4; ++i) when = (when << 8) | data[i];
        reader.Seek(when % (reader.end90k() + 1));
        for (int i = 0; i < 200 && reader.Next(sample); ++i) (void)reader.ReadSample(sample, bytes);
        reader.Seek(-1);
        (void)reader.Next(sample);
    }
    close(fd);
    return 0;
}
