#pragma once
// Codec payloads as a transport stream carries them: the samples of MP4 files and RTMP sources
// hold length-prefixed NAL units and keep their parameter sets in an avcC/hvcC record, their
// AAC frames bare with an AudioSpecificConfig beside them; a transport stream wants Annex B
// access units (start codes, an access unit delimiter first, the parameter sets in band) and
// ADTS frames. Everything reads only inside the sizes given and refuses what does not add up.

#include <cstddef>
#include <cstdint>
#include <vector>

// The largest access unit (sample) anything here or the muxer accepts.
constexpr std::size_t kMaxAccessUnitSize = 4u << 20;

enum class VideoCodec : uint8_t { kH264, kHevc };

// What a video track's decoder configuration record says. Filled by ParseAvcConfig or
// ParseHevcConfig; a track without a record may fill codec and nal_length_size itself.
struct VideoConfig {
    VideoCodec codec = VideoCodec::kH264;
    int        nal_length_size = 4;            // 1, 2 or 4 bytes before each NAL unit of a sample
    int        parameter_set_count = 0;
    // The VPS, SPS and PPS NAL units in record order, each behind a 00 00 00 01 start code:
    // ready to put in front of a key frame. Never longer than the record itself.
    std::vector<uint8_t> parameter_sets;
};
using AvcConfig = VideoConfig;
using HevcConfig = VideoConfig;

// Reads an avcC record (the SPS and PPS); false, config untouched, when it is cut short or its
// NAL length size is not 1, 2 or 4.
[[nodiscard]] bool ParseAvcConfig(const uint8_t* data, std::size_t size, AvcConfig& config);
// Reads an hvcC record (its VPS, SPS and PPS arrays; other arrays such as SEI are skipped);
// false as for avcC.
[[nodiscard]] bool ParseHevcConfig(const uint8_t* data, std::size_t size, HevcConfig& config);

// Appends one length-prefixed sample to out as an Annex B access unit: an access unit
// delimiter, then, before a key frame (key, or an IDR/IRAP picture inside) whose sample holds
// no SPS of its own, the parameter sets of with_parameter_sets (null: none), then the sample's
// NAL units (its own delimiters and empty units dropped). False, with out unchanged, when a
// length runs past the end of the sample or the sample is over kMaxAccessUnitSize.
[[nodiscard]] bool AppendAnnexB(std::vector<uint8_t>& out, const uint8_t* sample, std::size_t size,
                                int nal_length_size, VideoCodec codec, const VideoConfig* with_parameter_sets,
                                bool key = false);

// An AAC track's AudioSpecificConfig as far as an ADTS header repeats it.
struct AacConfig {
    int object_type = 2;                     // 1..4 (Main, LC, SSR, LTP); SBR/PS give their core
    int sample_rate_index = 3;               // 0..12
    int sample_rate = 48000;                 // of the core, in Hz
    int channel_configuration = 2;           // 1..7
};

// Reads an AudioSpecificConfig; false when it is cut short or ADTS cannot carry it (another
// object type, a rate outside the index table, channels given by a program config element).
[[nodiscard]] bool ParseAudioSpecificConfig(const uint8_t* data, std::size_t size, AacConfig& config);
// Writes the 7-byte ADTS header (no CRC) of a raw frame of frame_size bytes; false when the
// frame is too long for it (more than 8184 bytes).
[[nodiscard]] bool AdtsHeader(const AacConfig& config, std::size_t frame_size, uint8_t out[7]);
