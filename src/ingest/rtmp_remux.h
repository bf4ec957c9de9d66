#pragma once
// An RTMP source as a transport stream: the server's video and audio messages taken apart into
// access units and muxed, so that the channel's ring holds blocks of seven whole packets as a
// UDP channel's does, and every output and recorder serves it. The stream starts at the first
// video key frame after the video's sequence header, with an audio track when the audio's
// configuration (AAC) or first frame (MP3) came before it.

#include "media/elementary.h"
#include "media/ts_muxer.h"
#include "rtmp/flv_media.h"
#include "rtmp/rtmp_chunk.h"

#include <cstdint>
#include <memory>
#include <vector>

class RtmpRemuxer {
public:
    enum class Event { kNone, kStarted, kUnsupported, kMalformed };

    explicit RtmpRemuxer(TsMuxer::Output output) : output_(std::move(output)) {}
    // One message of the server; anything but audio and video is ignored. kStarted with the
    // first key frame written; kUnsupported (unsupported_tag() says which) and kMalformed for
    // what was dropped.
    Event Take(const RtmpMessage& message);
    // A new connection: its first frames start a new stream (the continuity counters go on, the
    // discontinuity indicator marks the change).
    void Restart() { restart_ = true; }
    bool has_video_config() const { return has_video_config_; }
    bool started() const { return muxer_ != nullptr; }
    uint32_t unsupported_tag() const { return unsupported_tag_; }

private:
    Event Configure(const FlvMedia& media);
    Event Start(const FlvMedia& media);
    Event WriteVideo(const FlvMedia& media);
    Event WriteAudio(const FlvMedia& media);

    TsMuxer::Output          output_;
    FlvMediaReader           reader_;
    VideoConfig              video_;
    bool                     has_video_config_ = false;
    AacConfig                aac_;
    bool                     has_aac_ = false;
    TsCodec                  mp3_ = TsCodec::kAac;    // kMpeg1Audio/kMpeg2Audio once an MP3 frame came
    std::unique_ptr<TsMuxer> muxer_;
    int                      audio_track_ = -1;
    TsCodec                  audio_codec_ = TsCodec::kAac;
    bool                     restart_ = false;
    uint32_t                 unsupported_tag_ = 0;
    std::vector<uint8_t>     unit_;
};
