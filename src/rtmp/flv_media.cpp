#include "rtmp/flv_media.h"

#include "core/byte_order.h"

namespace {

constexpr uint8_t kFrameKey = 1;
constexpr uint8_t kFrameCommand = 5;
constexpr uint8_t kVideoAvc = 7;
constexpr uint8_t kVideoHevc = 12;
constexpr uint8_t kSoundMp3 = 2;
constexpr uint8_t kSoundAac = 10;
constexpr uint8_t kSoundMp3At8kHz = 14;

int32_t Signed24(const uint8_t* at)
{
    const int32_t value = (static_cast<int32_t>(at[0]) << 16) | (static_cast<int32_t>(at[1]) << 8) | at[2];
    return (value & 0x800000) != 0 ? value - 0x1000000 : value;
}

FlvMedia Of(FlvKind kind, FlvCodec codec = FlvCodec::kNone)
{
    FlvMedia media;
    media.kind = kind;
    media.codec = codec;
    return media;
}

// A configuration or a frame whose payload starts at `from`; an empty configuration is
// malformed, an empty frame carries nothing.
FlvMedia Payload(FlvKind kind, FlvCodec codec, const uint8_t* body, std::size_t size, std::size_t from)
{
    if (from > size) return Of(FlvKind::kMalformed, codec);
    const bool config = kind == FlvKind::kVideoConfig || kind == FlvKind::kAudioConfig;
    if (from == size) return Of(config ? FlvKind::kMalformed : FlvKind::kIgnored, codec);
    if (size - from > FlvMediaReader::kMaxPayload) return Of(FlvKind::kMalformed, codec);
    FlvMedia media = Of(kind, codec);
    media.payload = std::span<const uint8_t>(body + from, size - from);
    return media;
}

}  // namespace

FlvMedia FlvMediaReader::Unsupported(uint32_t tag, bool& reported, uint32_t& last)
{
    if (reported && last == tag) return Of(FlvKind::kIgnored);
    reported = true;
    last = tag;
    FlvMedia media = Of(FlvKind::kUnsupported);
    media.codec_tag = tag;
    return media;
}

// Codec id 7 or 12: packet type, composition time, then the record or the access unit.
FlvMedia FlvMediaReader::Video(const uint8_t* body, std::size_t size, int32_t& composition_ms)
{
    if ((body[0] & 0x80) != 0) return ExtendedVideo(body, size, composition_ms);
    const uint8_t frame = body[0] >> 4;
    const uint8_t id = body[0] & 0x0F;
    if (frame == kFrameCommand) return Of(FlvKind::kIgnored);
    if (id != kVideoAvc && id != kVideoHevc) return Unsupported(id, video_reported_, video_unsupported_);
    const FlvCodec codec = id == kVideoAvc ? FlvCodec::kAvc : FlvCodec::kHevc;
    if (size >= 2 && body[1] == 2) return Of(FlvKind::kIgnored, codec);     // end of sequence
    if (size < 5 || body[1] > 1) return Of(FlvKind::kMalformed, codec);
    if (body[1] == 0) return Payload(FlvKind::kVideoConfig, codec, body, size, 5);
    FlvMedia media = Payload(FlvKind::kVideoFrame, codec, body, size, 5);
    media.key = frame == kFrameKey;
    composition_ms = Signed24(body + 2);
    return media;
}

// The extended header: frame type in three bits, packet type in four, then a FourCC; only
// coded frames (packet type 1) carry a composition time, "X" frames (3) have none.
FlvMedia FlvMediaReader::ExtendedVideo(const uint8_t* body, std::size_t size, int32_t& composition_ms)
{
    const uint8_t frame = (body[0] >> 4) & 0x07;
    const uint8_t packet = body[0] & 0x0F;
    if (frame == kFrameCommand) return Of(FlvKind::kIgnored);   // a command byte, no FourCC
    if (size < 5) return Of(FlvKind::kMalformed);
    const uint32_t tag = ReadBe32(body + 1);
    if (packet > 3) return Of(FlvKind::kIgnored);            // metadata, multitrack and extensions
    if (tag != FourCc("hvc1") && tag != FourCc("avc1")) return Unsupported(tag, video_reported_, video_unsupported_);
    const FlvCodec codec = tag == FourCc("hvc1") ? FlvCodec::kHevc : FlvCodec::kAvc;
    if (packet == 0) return Payload(FlvKind::kVideoConfig, codec, body, size, 5);
    if (packet == 2) return Of(FlvKind::kIgnored, codec);
    const std::size_t from = packet == 1 ? 8 : 5;
    if (size < from) return Of(FlvKind::kMalformed, codec);
    FlvMedia media = Payload(FlvKind::kVideoFrame, codec, body, size, from);
    media.key = frame == kFrameKey;
    composition_ms = packet == 1 ? Signed24(body + 5) : 0;
    return media;
}

FlvMedia FlvMediaReader::Audio(const uint8_t* body, std::size_t size)
{
    const uint8_t format = body[0] >> 4;
    if (format == kSoundMp3 || format == kSoundMp3At8kHz) return Payload(FlvKind::kAudioFrame, FlvCodec::kMp3, body, size, 1);
    if (format != kSoundAac) return Unsupported(format, audio_reported_, audio_unsupported_);
    if (size < 2) return Of(FlvKind::kMalformed, FlvCodec::kAac);
    if (body[1] == 0) return Payload(FlvKind::kAudioConfig, FlvCodec::kAac, body, size, 2);
    if (body[1] == 1) return Payload(FlvKind::kAudioFrame, FlvCodec::kAac, body, size, 2);
    return Of(FlvKind::kMalformed, FlvCodec::kAac);
}

void FlvMediaReader::Stamp(FlvMedia& media, uint32_t timestamp, int32_t composition_ms)
{
    if (!started_) {
        started_ = true;
        now_ms_ = timestamp;
    } else {
        // The difference of two 32-bit times read as signed crosses the wrap by itself.
        const int32_t step = static_cast<int32_t>(timestamp - last_ms_);
        if (step > kJumpMs || step < -kJumpMs)
            media.discontinuity = true;
        else
            now_ms_ += step;
    }
    last_ms_ = timestamp;
    media.dts90k = now_ms_ * 90;
    media.pts90k = (now_ms_ + composition_ms) * 90;
}

FlvMedia FlvMediaReader::Read(uint8_t type, uint32_t timestamp, const uint8_t* body, std::size_t size)
{
    if ((type != kRtmpAudio && type != kRtmpVideo) || size == 0 || body == nullptr) return Of(FlvKind::kIgnored);
    int32_t composition_ms = 0;
    FlvMedia media = type == kRtmpVideo ? Video(body, size, composition_ms) : Audio(body, size);
    if (media.kind == FlvKind::kVideoFrame || media.kind == FlvKind::kAudioFrame) {
        media.key = media.key || media.kind == FlvKind::kAudioFrame;
        Stamp(media, timestamp, composition_ms);
    } else if (media.kind == FlvKind::kVideoConfig || media.kind == FlvKind::kAudioConfig) {
        media.dts90k = media.pts90k = (started_ ? now_ms_ : static_cast<int64_t>(timestamp)) * 90;
    }
    return media;
}

FlvMedia FlvMediaReader::Read(const RtmpMessage& message)
{
    if (message.body_kept < message.length &&
        (message.type == kRtmpAudio || message.type == kRtmpVideo))
        return Of(FlvKind::kMalformed);
    return Read(message.type, message.timestamp, message.body, message.body_kept);
}
