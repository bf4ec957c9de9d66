#include "channels/source_table.h"

#include "core/log.h"

#include <array>

namespace {

constexpr uint32_t kEveryOutput = kOutputHttp | kOutputRtsp | kOutputTimeShift | kOutputHls | kOutputMulticast;

// One row per source kind. Every live input is recorded for time-shift in whole packets (the
// pulls and RTMP are reblocked or remuxed into blocks of whole packets, DVB programs recorded
// one by one); folders, and "rtspts://" (which has no ingest), play live when asked for it. MP4
// folders are remuxed into a transport stream as they play.
constexpr std::array kTraits{
    SourceTraits{kSourceFile, RingLayout::kTsFolder, kOutputHttp | kOutputRtsp | kOutputHls | kOutputMulticast, "TS folder"},
    SourceTraits{kSourceRtpGroup, RingLayout::kRtpSlots, kEveryOutput, "RTP"},
    SourceTraits{kSourceRtpPort, RingLayout::kRtpSlots, kEveryOutput, "RTP"},
    SourceTraits{kSourceUdpGroup, RingLayout::kPackets, kEveryOutput, "UDP"},
    SourceTraits{kSourceUdpPort, RingLayout::kPackets, kEveryOutput, "UDP"},
    SourceTraits{kSourceHttp, RingLayout::kByteStream, kEveryOutput, "HTTP"},
    SourceTraits{kSourceRtsp, RingLayout::kByteStream, kEveryOutput, "RTSP"},
    SourceTraits{kSourceRtspTs, RingLayout::kByteStream, kOutputHttp | kOutputRtsp | kOutputHls | kOutputMulticast, "RTSP"},
    SourceTraits{kSourceDvbGroup, RingLayout::kDvbProgram, kEveryOutput, "DVB"},
    SourceTraits{kSourceDvbPort, RingLayout::kDvbProgram, kEveryOutput, "DVB"},
    SourceTraits{kSourceMp4File, RingLayout::kMp4Folder, kOutputHttp | kOutputRtsp | kOutputHls | kOutputMulticast, "MP4 folder"},
    SourceTraits{kSourceRtmp, RingLayout::kPackets, kEveryOutput, "RTMP"},   // remuxed to TS as it comes
};

constexpr SourceTraits kNoSource{kSourceBadFolder, RingLayout::kNone, 0, "no usable"};

}  // namespace

const SourceTraits& TraitsOf(int32_t kind)
{
    for (const SourceTraits& traits : kTraits)
        if (traits.kind == kind) return traits;
    return kNoSource;
}

const SourceTraits& ChannelTraits(const ChannelRecord& channel)
{
    const SourceRecord* source = channel.FirstSource();
    return source == nullptr ? kNoSource : TraitsOf(source->kind);
}

bool Feeds(const ChannelRecord& channel, LiveOutput output)
{
    return (ChannelTraits(channel).outputs & output) != 0;
}

const char* OutputName(LiveOutput output)
{
    switch (output) {
    case kOutputHttp: return "HTTP";
    case kOutputRtsp: return "RTSP";
    case kOutputTimeShift: return "RTSP time-shift";
    case kOutputHls: return "HLS";
    case kOutputMulticast: return "multicast";
    }
    return "?";
}

void LogRefusedOutput(ChannelRecord& channel, LiveOutput output, const char* who, int channel_number)
{
    if ((channel.refusals_logged.fetch_or(output) & output) != 0) return;
    LogSystemMessage("%s : Channel [%d], %s input is not served over %s\n", who, channel_number, ChannelTraits(channel).name,
                     OutputName(output));
}
