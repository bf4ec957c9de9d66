// Fuzz entry for the codec payload conversions and the muxer behind them. The first byte picks
// what the rest is: an avcC or hvcC record, an AudioSpecificConfig, or a length-prefixed sample
// (its NAL length size and codec from the same byte) that is converted and muxed.

#include "media/elementary.h"
#include "media/ts_muxer.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const uint8_t* rest = data + 1;
    const std::size_t left = size - 1;
    const VideoCodec codec = (selector & 0x04) ? VideoCodec::kHevc : VideoCodec::kH264;
    VideoConfig config;
    config.codec = codec;
    switch (selector % 4) {
    case 0: (void)ParseAvcConfig(rest, left, config); break;
    case 1: (void)ParseHevcConfig(rest, left, config); break;
    case 2: {
        AacConfig aac;
        uint8_t header[7];
        if (ParseAudioSpecificConfig(rest, left, aac)) (void)AdtsHeader(aac, left, header);
        break;
    }
    default: {
        static const int kLengthSizes[4] = {1, 2, 4, 3};
        std::vector<uint8_t> unit;
        if (!AppendAnnexB(unit, rest, left, kLengthSizes[(selector >> 3) & 3], codec, nullptr, (selector & 0x20) != 0))
            break;
        uint64_t sent = 0;
        TsMuxer muxer({codec == VideoCodec::kHevc ? TsCodec::kHevc : TsCodec::kH264, TsCodec::kAc3},
                      [&sent](const uint8_t*, int block) { sent += static_cast<uint64_t>(block); });
        const int64_t dts = (selector & 0x40) ? (int64_t{1} << 33) - 3000 : 0;
        (void)muxer.Write(0, unit.data(), unit.size(), dts + 3600, dts, (selector & 0x20) != 0);
        (void)muxer.Write(1, rest, left, dts, dts, false);
        (void)muxer.Write(0, unit.data(), unit.size(), dts + 200000, dts + 180000, false);
        muxer.Flush();
        break;
    }
    }
    return 0;
}
