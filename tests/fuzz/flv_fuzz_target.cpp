// Fuzz entry for the media messages of RTMP. The input is read twice: as messages (a type byte,
// a 4-byte timestamp, a 2-byte body length, the body) handed to the media reader directly, and
// as a chunk stream, cut into receives by its first byte, whose messages a reader of media
// (large bodies kept) hands to the media reader.

#include "rtmp/flv_media.h"
#include "rtmp/rtmp_chunk.h"

#include <cstdint>
#include <cstdlib>

namespace {

// What every result must hold: a payload inside the body, and a clock that never steps further
// than the jump limit without saying so.
struct Checker {
    bool    started = false;
    int64_t last_dts = 0;

    void Check(const FlvMedia& media, const uint8_t* body, size_t size)
    {
        if (!media.payload.empty() &&
            (body == nullptr || media.payload.data() < body || media.payload.data() + media.payload.size() > body + size))
            __builtin_trap();
        if (media.payload.size() > FlvMediaReader::kMaxPayload) __builtin_trap();
        if (media.kind != FlvKind::kVideoFrame && media.kind != FlvKind::kAudioFrame) return;
        if (media.payload.empty()) __builtin_trap();
        if (started && !media.discontinuity && std::llabs(media.dts90k - last_dts) > int64_t{FlvMediaReader::kJumpMs} * 90)
            __builtin_trap();
        if (started && media.discontinuity && media.dts90k != last_dts) __builtin_trap();
        started = true;
        last_dts = media.dts90k;
    }
};

void FuzzMessages(const uint8_t* input, size_t length)
{
    FlvMediaReader reader;
    Checker checker;
    for (size_t at = 0; at + 7 <= length;) {
        // Mostly audio and video, sometimes another type.
        const uint8_t types[3] = {kRtmpAudio, kRtmpVideo, input[at]};
        const uint8_t type = types[input[at] % 3];
        const uint32_t timestamp = (uint32_t{input[at + 1]} << 24) | (uint32_t{input[at + 2]} << 16) |
                                   (uint32_t{input[at + 3]} << 8) | input[at + 4];
        size_t size = (size_t{input[at + 5]} << 8) | input[at + 6];
        at += 7;
        if (size > length - at) size = length - at;
        checker.Check(reader.Read(type, timestamp, input + at, size), input + at, size);
        at += size;
    }
}

void FuzzChunkStream(const uint8_t* input, size_t length)
{
    if (length == 0) return;
    RtmpChunkReader chunks(4u << 20);
    FlvMediaReader reader;
    Checker checker;
    const auto each = [&](const RtmpMessage& message) {
        if (message.body_kept > message.length) __builtin_trap();
        checker.Check(reader.Read(message), message.body, message.body_kept);
        return true;
    };
    const size_t step = 1 + static_cast<size_t>(input[0] % 16) * 97;
    for (size_t at = 1; at < length; at += step)
        if (chunks.Feed(input + at, length - at < step ? length - at : step, each) < 0) return;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzMessages(data, size);
    FuzzChunkStream(data, size);
    return 0;
}
