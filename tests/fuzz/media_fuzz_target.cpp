// Fuzz entry for the packet parsers, the file probes and the search for a recording's clock
// restarts. The first byte picks the probe; the rest is the file content, served from memory
// through a memfd path.

#include "media/probe.h"
#include "media/ts_file.h"
#include "media/ts_timing.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Packet parsers on every 188-byte window, the last one padded.
    for (size_t at = 0; at < size; at += 188) {
        uint8_t packet[188] = {};
        std::memcpy(packet, data + at, size - at < 188 ? size - at : 188);
        TsPacketHeader header;
        parse_ts_header(packet, header);
        int64_t ticks = 0;
        (void)extract_pcr(packet, ticks);
        (void)extract_video_pts(packet, header.adaptation_field_flag != 0);
        (void)payload_offset(packet);
        (void)is_pat(packet);
    }
    if (size == 0) return 0;

    const int fd = memfd_create("fuzz-input", 0);
    if (fd < 0) return 0;
    const uint8_t* content = data + 1;
    size_t left = size - 1;
    while (left > 0) {
        const ssize_t written = write(fd, content, left);
        if (written <= 0) break;
        content += written;
        left -= static_cast<size_t>(written);
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    switch (data[0] % 5) {
    case 0: (void)ts_bitrate_kbps(path); break;
    case 1: (void)mp4_duration_seconds(path); break;
    case 2: (void)asf_bitrate_kbps(path); break;
    case 3: {
        // A recording cut where its clock starts again: the stretches lie in order within it.
        const TsRing ring(fd, kPlainTsLayout, 0, kPlainTsLayout.RecordStart(static_cast<int64_t>(size - 1)));
        const PcrStretches found = FindPcrStretches(ring, [] { return false; });
        for (std::size_t i = 0; i < found.stretches.size(); ++i) {
            const PcrStretch& stretch = found.stretches[i];
            if (stretch.begin > stretch.first_at || stretch.first_at > stretch.last_at || stretch.last_at >= ring.length() ||
                (i > 0 && stretch.begin <= found.stretches[i - 1].last_at))
                __builtin_trap();
        }
        break;
    }
    default: (void)first_pcr_seconds(path); break;
    }
    close(fd);
    return 0;
}
