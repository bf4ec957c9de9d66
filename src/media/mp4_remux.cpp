#include "media/mp4_remux.h"

namespace {

// Where a new stream's time line puts the start of its first file: a second past the muxer's
// PCR delay, so that its clock starts above zero (a viewer who joins mid-file starts as far on).
constexpr int64_t kStreamStart90k = TsMuxer::kPcrDelay90k + 90000;

}  // namespace

bool Mp4Remuxer::Open(int fd, std::string& error)
{
    reader_ = std::make_unique<Mp4Reader>();
    if (!reader_->Open(fd, error) || !Configure(error)) {
        reader_.reset();
        return false;
    }
    first_sample_ = true;
    return true;
}

bool Mp4Remuxer::Configure(std::string& error)
{
    std::vector<TsCodec> codecs;
    routes_.clear();
    for (const Mp4Track& track : reader_->tracks()) {
        Route route;
        TsCodec codec = TsCodec::kAac;
        bool usable = true;
        switch (track.codec) {
        case Mp4Codec::kH264:
        case Mp4Codec::kHevc: {
            const bool hevc = track.codec == Mp4Codec::kHevc;
            route.video = true;
            codec = hevc ? TsCodec::kHevc : TsCodec::kH264;
            usable = hevc ? ParseHevcConfig(track.config.data(), track.config.size(), route.video_config)
                          : ParseAvcConfig(track.config.data(), track.config.size(), route.video_config);
            break;
        }
        case Mp4Codec::kAac:
            route.aac = true;
            usable = ParseAudioSpecificConfig(track.config.data(), track.config.size(), route.aac_config);
            break;
        case Mp4Codec::kMp3:
            // MPEG-1 layers run at 32, 44.1 and 48 kHz; MPEG-2 and 2.5 at the lower rates.
            codec = track.sample_rate == 0 || track.sample_rate >= 32000 ? TsCodec::kMpeg1Audio : TsCodec::kMpeg2Audio;
            break;
        case Mp4Codec::kAc3: codec = TsCodec::kAc3; break;
        }
        if (usable) {
            route.muxer_track = static_cast<int>(codecs.size());
            codecs.push_back(codec);
        }
        routes_.push_back(std::move(route));
    }
    if (codecs.empty()) {
        error = "no track with a codec configuration that can be read";
        return false;
    }
    if (muxer_ == nullptr || codecs != codecs_) {
        if (muxer_ != nullptr) interrupted_ = true;      // another stream went out on these PIDs
        muxer_ = std::make_unique<TsMuxer>(codecs, output_);
        codecs_ = std::move(codecs);
        new_time_line_ = true;
    }
    return true;
}

bool Mp4Remuxer::WriteNext()
{
    if (reader_ == nullptr) return false;
    for (;;) {
        if (!reader_->Next(sample_) || !reader_->ReadSample(sample_, data_)) return false;
        const Route& route = routes_[static_cast<std::size_t>(sample_.track)];
        if (route.muxer_track < 0 || data_.empty()) continue;
        if (first_sample_) {
            first_sample_ = false;
            if (interrupted_) muxer_->Reset();
            if (interrupted_ || new_time_line_) {
                offset90k_ = kStreamStart90k;
                interrupted_ = false;
                new_time_line_ = false;
            } else {
                offset90k_ = next_offset90k_;
            }
        }
        unit_.clear();
        if (route.video) {
            if (!AppendAnnexB(unit_, data_.data(), data_.size(), route.video_config.nal_length_size,
                              route.video_config.codec, &route.video_config, sample_.key))
                continue;
        } else if (route.aac) {
            uint8_t header[7];
            if (!AdtsHeader(route.aac_config, data_.size(), header)) continue;
            unit_.assign(header, header + 7);
            unit_.insert(unit_.end(), data_.begin(), data_.end());
        } else {
            unit_.swap(data_);
        }
        // A unit the muxer refuses (too long for its track) is left out like a broken sample.
        (void)muxer_->Write(route.muxer_track, unit_.data(), unit_.size(), sample_.pts90k + offset90k_,
                            sample_.dts90k + offset90k_, sample_.key && route.video);
        return true;
    }
}

void Mp4Remuxer::Finish()
{
    if (muxer_ != nullptr) muxer_->Flush();
    if (reader_ != nullptr && !first_sample_) next_offset90k_ = offset90k_ + reader_->end90k();
    reader_.reset();
}
