// Fuzz entry for what a set-top box sends to the VOD service: its request (the keys and the
// path) and its commands on the control connection, with the skip arithmetic a command
// drives, and the byte seek over film bytes that a skip or a takeover starts. The first byte
// picks the reader; the rest is its input.

#include "media/ts_file.h"
#include "vod/vod_request.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace {

bool Terminated(const char* text, std::size_t size) { return std::memchr(text, '\0', size) != nullptr; }

void ReadRequest(std::string_view text)
{
    const VodRequest request = ParseVodRequest(text);
    if (!Terminated(request.mac_id, sizeof request.mac_id) || !Terminated(request.user_name, sizeof request.user_name) ||
        !Terminated(request.password, sizeof request.password) || !Terminated(request.video, sizeof request.video))
        __builtin_trap();
    if (request.has_video && !request.video_too_long && std::strlen(request.video) + 10 > text.size()) __builtin_trap();
    if (request.video_too_long && request.video[0] != '\0') __builtin_trap();
}

void ReadCommand(std::string_view text, const uint8_t* numbers, std::size_t count)
{
    const ParsedVodCommand command = ParseVodCommand(text);
    if (!std::isfinite(command.seconds) || command.seconds < 0) __builtin_trap();
    if (command.kind != VodCommand::kSeekTo && command.seconds != 0) __builtin_trap();
    if (count < 16) return;
    int64_t position = 0;
    int32_t bitrate = 0;
    int32_t size = 0;
    std::memcpy(&position, numbers, 8);
    std::memcpy(&bitrate, numbers + 8, 4);
    std::memcpy(&size, numbers + 12, 4);
    size &= 0x3FFFFFFF;
    for (const bool forward : {true, false}) {
        const int64_t target = VodSkipTarget(position, bitrate, size, forward);
        if (target < 0 || target > size || target % 1316 != 0) __builtin_trap();
    }
}

// The byte seek: from an offset to the first PCR of at least a minimum, then its PAT.
void SeekBytes(const uint8_t* data, std::size_t size)
{
    if (size < 3) return;
    const int64_t from = (data[0] << 8 | data[1]) * 47;
    const int64_t min_ticks = data[2] * 1000;
    const int fd = memfd_create("film", MFD_CLOEXEC);
    if (fd < 0) return;
    const std::size_t length = size - 3;
    if (write(fd, data + 3, length) == static_cast<ssize_t>(length)) {
        const TsRing ring(fd, kPlainTsLayout, 0, static_cast<int64_t>(length - length % kTsPacketSize));
        const SeekPoint point = SeekPointFrom(ring, from, min_ticks, [] { return false; });
        if (point.pat_at < 0 || point.pat_at > ring.length()) __builtin_trap();
        if (point.pcr_found && (point.pcr_at < std::min(from, ring.length()) || point.pcr_ticks < min_ticks)) __builtin_trap();
        if (point.pat_found) {
            uint8_t packet[kTsPacketSize];
            if (point.pat_at < point.pcr_at || ring.Read(point.pat_at, packet, kTsPacketSize) != kTsPacketSize ||
                !is_pat(packet) || packet[0] != kTsSyncByte)
                __builtin_trap();
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0: ReadRequest(text.substr(0, kVodMessageSize)); break;
    case 1: ReadCommand(text.substr(0, kVodMessageSize), data + 1, size - 1); break;
    default: SeekBytes(data + 1, size - 1); break;
    }
    return 0;
}
