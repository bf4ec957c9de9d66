#pragma once
// The media messages of RTMP: audio (type 8) and video (type 9) messages, whose bodies are FLV
// audio and video tag bodies, turned into codec configurations and access units with 90 kHz
// times. Video: AVC (codec id 7), HEVC (codec id 12, or the extended header with FourCC "hvc1";
// "avc1" there too). Audio: AAC and MP3. Nothing is copied: a result points into the body it
// came from, so it lives as long as that body.

#include "rtmp/rtmp_chunk.h"

#include <cstddef>
#include <cstdint>
#include <span>

enum class FlvKind : uint8_t {
    kIgnored,        // nothing to hand on: not audio or video, empty, end of sequence, command frame
    kMalformed,      // a header cut short, an unknown packet type, an empty configuration, a body too long or not kept whole
    kUnsupported,    // the first message of a codec we do not read; later ones of it are ignored
    kVideoConfig,    // payload: the avcC or hvcC record
    kVideoFrame,     // payload: one access unit, its NAL units length-prefixed as the record says
    kAudioConfig,    // payload: the AudioSpecificConfig
    kAudioFrame,     // payload: one raw AAC frame, or MP3 frames with their headers
};

enum class FlvCodec : uint8_t { kNone, kAvc, kHevc, kAac, kMp3 };

struct FlvMedia {
    FlvKind                  kind = FlvKind::kIgnored;
    FlvCodec                 codec = FlvCodec::kNone;
    uint32_t                 codec_tag = 0;         // kUnsupported: the video codec id, the FourCC or the sound format
    std::span<const uint8_t> payload;               // inside the message body
    int64_t                  dts90k = 0;
    int64_t                  pts90k = 0;            // dts90k plus the composition time of a video frame
    bool                     key = false;           // a video key frame; every audio frame
    bool                     discontinuity = false; // the clock jumped before this frame: restart the muxer
};

// One reader per connection. Frames share one clock: the 32-bit millisecond timestamps are
// unfolded across their wrap into a 64-bit time that starts at the first frame's timestamp,
// whatever it is. A step of more than kJumpMs either way is not taken: the frame is marked as a
// discontinuity and the time goes on from the previous frame's, so it never runs backwards
// across a source restart. Configurations leave the clock alone and carry its current time.
class FlvMediaReader {
public:
    static constexpr std::size_t kMaxPayload = 4u << 20;
    static constexpr int32_t     kJumpMs = 10000;

    // A message of this type and timestamp with its whole body.
    [[nodiscard]] FlvMedia Read(uint8_t type, uint32_t timestamp, const uint8_t* body, std::size_t size);
    // A message from the chunk reader; one whose body was not kept whole is malformed.
    [[nodiscard]] FlvMedia Read(const RtmpMessage& message);

private:
    // A frame's composition time goes to composition_ms.
    FlvMedia Video(const uint8_t* body, std::size_t size, int32_t& composition_ms);
    FlvMedia ExtendedVideo(const uint8_t* body, std::size_t size, int32_t& composition_ms);
    FlvMedia Audio(const uint8_t* body, std::size_t size);
    // kUnsupported the first time this tag is seen in a row for the track, kIgnored after.
    static FlvMedia Unsupported(uint32_t tag, bool& reported, uint32_t& last);
    // Sets the times of a frame and moves the clock.
    void Stamp(FlvMedia& media, uint32_t timestamp, int32_t composition_ms);

    bool     started_ = false;
    uint32_t last_ms_ = 0;          // the previous frame's timestamp as sent
    int64_t  now_ms_ = 0;           // and as unfolded
    bool     video_reported_ = false;
    uint32_t video_unsupported_ = 0;
    bool     audio_reported_ = false;
    uint32_t audio_unsupported_ = 0;
};
