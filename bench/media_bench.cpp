// PCR extraction speed against a plain memchr over the same buffer, and the bytes a
// transport-stream bitrate probe reads from a 1 GiB file.

#include "media/media_file.h"
#include "media/probe.h"
#include "media/ts_timing.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

// Called through a volatile pointer so that the compiler cannot drop or hoist the search.
static const void* (*volatile g_memchr)(const void*, int, std::size_t) = [](const void* data, int byte, std::size_t length) {
    return static_cast<const void*>(std::memchr(data, byte, length));
};

static double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

static void PutPcr(uint8_t* p, int64_t ticks)
{
    const int64_t base = ticks / 300;
    const int64_t extension = ticks % 300;
    p[0] = static_cast<uint8_t>(base >> 25);
    p[1] = static_cast<uint8_t>(base >> 17);
    p[2] = static_cast<uint8_t>(base >> 9);
    p[3] = static_cast<uint8_t>(base >> 1);
    p[4] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | ((extension >> 8) & 1));
    p[5] = static_cast<uint8_t>(extension);
}

int main(int argc, char** argv)
{
    const std::size_t megabytes = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 100;
    const std::size_t packets = megabytes * 1024 * 1024 / 188;
    std::vector<uint8_t> buffer(packets * 188, 0xFF);
    for (std::size_t i = 0; i < packets; ++i) {
        uint8_t* p = buffer.data() + i * 188;
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        if (i % 10 == 0) {                      // one packet in ten carries a PCR
            p[3] = 0x30;
            p[4] = 7;
            p[5] = 0x10;
            PutPcr(p + 6, static_cast<int64_t>(i) * 27000);
        } else {
            p[3] = 0x10;
        }
    }

    double best_pcr = 1e9;
    double best_memchr = 1e9;
    int64_t checksum = 0;
    for (int round = 0; round < 5; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < packets; ++i) {
            int64_t ticks = 0;
            if (extract_pcr(buffer.data() + i * 188, ticks)) checksum += ticks;
        }
        best_pcr = std::min(best_pcr, SecondsSince(start));
        buffer[static_cast<std::size_t>(round) * 188 + 100] = static_cast<uint8_t>(0xF0 + round);
        asm volatile("" : : "r"(buffer.data()) : "memory");   // memchr must run again every round
        start = std::chrono::steady_clock::now();
        // Count one byte value with memchr, resuming after each hit: it reads the whole buffer.
        const uint8_t* at = buffer.data();
        const uint8_t* end = buffer.data() + buffer.size();
        while (at < end) {
            const auto* found = static_cast<const uint8_t*>(g_memchr(at, 0x02, static_cast<std::size_t>(end - at)));
            if (found == nullptr) break;
            ++checksum;
            at = found + 1;
        }
        best_memchr = std::min(best_memchr, SecondsSince(start));
    }
    const double mb = static_cast<double>(buffer.size()) / (1024.0 * 1024.0);
    std::printf("extract_pcr over %.0f MB: %.0f MB/s; memchr over the same buffer: %.0f MB/s; ratio %.2f (checksum %lld)\n",
                mb, mb / best_pcr, mb / best_memchr, best_memchr / best_pcr, static_cast<long long>(checksum));

    char path[] = "/tmp/quorvane-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 1;
    const int64_t size = int64_t{1} << 30;
    std::vector<uint8_t> head(188 * 3, 0xFF);
    for (int i = 0; i < 3; ++i) {
        head[i * 188] = 0x47;
        head[i * 188 + 3] = 0x10;
    }
    const uint8_t pes_first[] = {0x47, 0x41, 0x01, 0x10, 0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5, 0x21, 0x00, 0x05, 0xBF, 0x21};
    std::memcpy(head.data() + 2 * 188, pes_first, sizeof pes_first);   // PTS 90000
    std::vector<uint8_t> tail(188, 0xFF);
    const uint8_t pes_last[] = {0x47, 0x41, 0x01, 0x10, 0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5, 0x21, 0x01, 0x4F, 0x8A, 0xA1};
    std::memcpy(tail.data(), pes_last, sizeof pes_last);               // PTS 5490000: 60 s later
    if (pwrite(fd, head.data(), head.size(), 0) < 0 || pwrite(fd, tail.data(), tail.size(), (size / 188 - 1) * 188) < 0 ||
        ftruncate(fd, size) != 0) {
        close(fd);
        unlink(path);
        return 1;
    }
    close(fd);
    const uint64_t before = ProbeBytesRead();
    const auto start = std::chrono::steady_clock::now();
    const int32_t kbps = ts_bitrate_kbps(path);
    const double took = SecondsSince(start);
    std::printf("ts_bitrate_kbps on a 1 GiB file: %d kbit/s, %llu bytes read, %.3f ms\n", kbps,
                static_cast<unsigned long long>(ProbeBytesRead() - before), took * 1000.0);
    unlink(path);
    return 0;
}
