#include "ingest/rtmp_remux.h"

namespace {

// MPEG audio frames of MPEG-1 (32-48 kHz) or of MPEG-2/2.5 (the half rates).
TsCodec MpegAudioOf(const uint8_t* frame, std::size_t size)
{
    return size >= 2 && (frame[1] & 0x18) == 0x18 ? TsCodec::kMpeg1Audio : TsCodec::kMpeg2Audio;
}

}  // namespace

RtmpRemuxer::Event RtmpRemuxer::Take(const RtmpMessage& message)
{
    const FlvMedia media = reader_.Read(message);
    switch (media.kind) {
    case FlvKind::kIgnored: return Event::kNone;
    case FlvKind::kMalformed: return Event::kMalformed;
    case FlvKind::kUnsupported: unsupported_tag_ = media.codec_tag; return Event::kUnsupported;
    case FlvKind::kVideoConfig:
    case FlvKind::kAudioConfig: return Configure(media);
    case FlvKind::kVideoFrame: return muxer_ == nullptr ? Start(media) : WriteVideo(media);
    case FlvKind::kAudioFrame:
        if (muxer_ == nullptr && media.codec == FlvCodec::kMp3) mp3_ = MpegAudioOf(media.payload.data(), media.payload.size());
        return muxer_ == nullptr ? Event::kNone : WriteAudio(media);
    }
    return Event::kNone;
}

RtmpRemuxer::Event RtmpRemuxer::Configure(const FlvMedia& media)
{
    if (media.kind == FlvKind::kAudioConfig) {
        has_aac_ = ParseAudioSpecificConfig(media.payload.data(), media.payload.size(), aac_);
        return has_aac_ ? Event::kNone : Event::kMalformed;
    }
    VideoConfig config;
    const bool read = media.codec == FlvCodec::kHevc ? ParseHevcConfig(media.payload.data(), media.payload.size(), config)
                                                     : ParseAvcConfig(media.payload.data(), media.payload.size(), config);
    if (!read) return Event::kMalformed;
    // Another codec mid-stream: the stream starts again at its next key frame.
    if (muxer_ != nullptr && config.codec != video_.codec) {
        muxer_->Flush();
        muxer_.reset();
    }
    video_ = std::move(config);
    has_video_config_ = true;
    return Event::kNone;
}

RtmpRemuxer::Event RtmpRemuxer::Start(const FlvMedia& media)
{
    if (!media.key || !has_video_config_) return Event::kNone;        // nothing to decode from yet
    std::vector<TsCodec> tracks{video_.codec == VideoCodec::kHevc ? TsCodec::kHevc : TsCodec::kH264};
    audio_track_ = -1;
    if (has_aac_ || mp3_ != TsCodec::kAac) {
        audio_codec_ = has_aac_ ? TsCodec::kAac : mp3_;
        tracks.push_back(audio_codec_);
        audio_track_ = 1;
    }
    muxer_ = std::make_unique<TsMuxer>(tracks, output_);
    restart_ = false;
    const Event written = WriteVideo(media);
    return written == Event::kNone ? Event::kStarted : written;
}

RtmpRemuxer::Event RtmpRemuxer::WriteVideo(const FlvMedia& media)
{
    if (media.discontinuity || restart_) {
        muxer_->Reset();
        restart_ = false;
    }
    unit_.clear();
    if (!AppendAnnexB(unit_, media.payload.data(), media.payload.size(), video_.nal_length_size, video_.codec, &video_, media.key))
        return Event::kMalformed;
    return muxer_->Write(0, unit_.data(), unit_.size(), media.pts90k, media.dts90k, media.key) ? Event::kNone : Event::kMalformed;
}

RtmpRemuxer::Event RtmpRemuxer::WriteAudio(const FlvMedia& media)
{
    if (audio_track_ < 0) return Event::kNone;
    const bool aac = media.codec == FlvCodec::kAac;
    if (aac != (audio_codec_ == TsCodec::kAac)) return Event::kNone;   // not the track the stream began with
    if (media.discontinuity || restart_) {
        muxer_->Reset();
        restart_ = false;
    }
    unit_.clear();
    if (aac) {
        uint8_t header[7];
        if (!AdtsHeader(aac_, media.payload.size(), header)) return Event::kMalformed;
        unit_.assign(header, header + 7);
    }
    unit_.insert(unit_.end(), media.payload.begin(), media.payload.end());
    return muxer_->Write(audio_track_, unit_.data(), unit_.size(), media.pts90k, media.dts90k, true) ? Event::kNone
                                                                                                    : Event::kMalformed;
}
