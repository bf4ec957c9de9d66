#include "ingest/channel_facts.h"

#include "channels/source_table.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "ingest/network_input.h"
#include "ingest/pull_common.h"
#include "ingest/pull_http.h"
#include "ingest/pull_rtmp.h"
#include "ingest/pull_rtsp.h"
#include "ingest/real_buffer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> g_check_running{false};

// The check's clock: its deadline, and when the first bytes came.
struct CheckClock {
    uint64_t start_ms = GetTickMs();
    uint64_t first_ms = 0;
    uint64_t last_ms = 0;

    int LeftMs() const
    {
        const uint64_t now = GetTickMs();
        return now >= start_ms + kCheckSourceMs ? 0 : static_cast<int>(start_ms + kCheckSourceMs - now);
    }
    void Got()
    {
        last_ms = GetTickMs();
        if (first_ms == 0) first_ms = last_ms;
    }
    double MeasuredSeconds() const { return first_ms == 0 ? 0 : static_cast<double>(last_ms - first_ms) / 1000.0; }
};

bool Stopping() { return ProcessStopRaised() || g_channel_reader_stop.load() != 0; }

// Whether a check has seen enough: the facts complete over a second of the stream.
bool Enough(const SourceFacts& facts, const CheckClock& clock)
{
    const double measure = kCheckMeasureMs / 1000.0;
    return facts.stream.Complete() && (facts.stream.measured_seconds() >= measure || clock.MeasuredSeconds() >= measure);
}

// The file of a folder channel playing now (the first one when no position can be found),
// opened at its start; -1 when none opens. entry receives its playlist entry.
int OpenPlayingFile(const ChannelTable* table, const ChannelRecord& channel, PlaylistEntry& entry)
{
    std::vector<PlaylistEntry> files;
    for (const auto& source : channel.sources) files.push_back(source->file);
    if (files.empty()) return -1;
    int index = 0;
    int64_t offset = 0;
    int fd = table == nullptr ? -1
                              : find_playlist_position(table->load_tick, static_cast<int64_t>(channel.total_duration), files.data(),
                                                       static_cast<int>(files.size()), index, offset);
    if (fd < 0) {
        index = 0;
        fd = open(files[0].path, O_RDONLY | O_CLOEXEC);
    } else if (lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    entry = files[static_cast<std::size_t>(index)];
    return fd;
}

SourceFacts ReadFolderFacts(const ChannelTable* table, const ChannelRecord& channel)
{
    SourceFacts facts;
    PlaylistEntry entry{};
    const int fd = OpenPlayingFile(table, channel, entry);
    if (fd < 0) return facts;
    const std::string_view path(entry.path);
    const bool mp4 = path.find(".mp4") != std::string_view::npos;
    std::vector<uint8_t> chunk(64 * 1024);
    for (int64_t read_bytes = 0; !mp4 && read_bytes < kFactsFileBytes;) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got <= 0) break;
        facts.stream.Feed(chunk.data(), static_cast<std::size_t>(got));
        read_bytes += got;
        if (facts.stream.Complete() && facts.stream.measured_seconds() >= kCheckMeasureMs / 1000.0) break;
    }
    close(fd);
    facts.ts = facts.stream.packets() > 0;
    facts.bitrate = facts.stream.Bitrate();
    if (facts.bitrate == 0 && entry.bitrate_kbps > 0) facts.bitrate = static_cast<int64_t>(entry.bitrate_kbps) * 1024;
    return facts;
}

// The last slots of a ring, oldest first, copied without waiting on its writer.
SourceFacts ReadRingFacts(ChannelRecord& channel)
{
    SourceFacts facts;
    const std::shared_ptr<RealBuffer> buffer = channel.Buffer();
    if (buffer == nullptr) return facts;
    const int32_t input = channel.input_index.load(std::memory_order_acquire);
    std::vector<uint8_t> slot(kRingSlotSize);
    for (int32_t back = kFactsRingSlots; back >= 1; --back) {
        const RealBufferSlot& source = buffer->slots[(input - back + kRingSlots) % kRingSlots];
        const int32_t length = std::min(source.length.load(std::memory_order_acquire), kRingSlotSize);
        if (length <= 0) continue;
        std::memcpy(slot.data(), source.data, static_cast<std::size_t>(length));
        const int skip = length == kRtpSlotSize ? kRtpHeaderSize : 0;
        facts.stream.Feed(slot.data() + skip, static_cast<std::size_t>(length - skip));
    }
    release_read_slots(channel);
    facts.ts = facts.stream.packets() > 0;
    facts.bitrate = facts.stream.Bitrate();
    return facts;
}

// The RTP payload of a datagram (version 2: the fixed header and its CSRCs skipped).
std::size_t RtpPayloadOffset(const uint8_t* data, std::size_t length)
{
    if (length < static_cast<std::size_t>(kRtpHeaderSize) || (data[0] >> 6) != 2) return 0;
    const std::size_t header = kRtpHeaderSize + 4u * (data[0] & 0x0F);
    return header < length ? header : length;
}

void CheckDatagrams(const ChannelRecord& probe, SourceFacts& facts, bool& got_bytes)
{
    const SourceRecord& source = *probe.FirstSource();
    char primary[32];
    GetLocalIpAddress(primary, sizeof primary);
    const int fd = open_datagram_source(source, primary);
    if (fd < 0) {
        facts.error = "bad source";
        return;
    }
    const bool rtp = source.kind == kSourceRtpGroup || source.kind == kSourceRtpPort;
    CheckClock clock;
    std::vector<uint8_t> datagram(64 * 1024);
    while (!Stopping() && clock.LeftMs() > 0 && !Enough(facts, clock)) {
        if (PollOne(fd, POLLIN, std::min(clock.LeftMs(), 200)) <= 0) continue;
        const ssize_t got = ReceiveBytes(fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (got <= 0) continue;
        got_bytes = true;
        clock.Got();
        const std::size_t skip = rtp ? RtpPayloadOffset(datagram.data(), static_cast<std::size_t>(got)) : 0;
        facts.stream.Feed(datagram.data() + skip, static_cast<std::size_t>(got) - skip);
    }
    close_datagram_source(fd, source, primary);
    facts.bitrate = facts.stream.Bitrate(clock.MeasuredSeconds());
}

void CheckHttp(const ChannelRecord& probe, SourceFacts& facts, bool& got_bytes)
{
    const SourceRecord& source = *probe.FirstSource();
    CheckClock clock;
    const int fd = ConnectTcp(source.host, source.port, clock.LeftMs());
    if (fd < 0) return;                                        // nothing came
    SetSocketTimeouts(fd, 1000, 1000);
    const std::string request = HttpSourceRequest(probe, source);
    std::vector<uint8_t> data(64 * 1024);
    std::size_t got = 0;
    HttpSourceHead head;
    const HttpHeadResult result = SendAll(fd, request.data(), request.size()) < 0
                                      ? HttpHeadResult::kUnavailable
                                      : ReceiveHttpSourceHead(fd, data, got, head, clock.LeftMs());
    if (result != HttpHeadResult::kOk) {
        CloseSocket(fd);
        if (head.status != 0 && head.status != 200) facts.error = "HTTP source answered " + std::to_string(head.status);
        got_bytes = got > 0;
        return;
    }
    HttpBodyReader body(head);
    const std::size_t leftover = got - static_cast<std::size_t>(head.header_length);
    uint8_t* start = data.data() + head.header_length;
    const std::size_t kept = body.Take(start, leftover);
    if (kept > 0) {
        got_bytes = true;
        clock.Got();
        facts.stream.Feed(start, kept);
    }
    while (!Stopping() && clock.LeftMs() > 0 && !Enough(facts, clock) && !body.Finished() && !body.Failed()) {
        const ssize_t n = ReceiveWithin(fd, data.data(), data.size(), std::min(clock.LeftMs(), 200));
        if (n == -2) continue;
        if (n <= 0) break;
        const std::size_t taken = body.Take(data.data(), static_cast<std::size_t>(n));
        if (taken == 0) continue;
        got_bytes = true;
        clock.Got();
        facts.stream.Feed(data.data(), taken);
    }
    CloseSocket(fd);
    facts.bitrate = facts.stream.Bitrate(clock.MeasuredSeconds());
}

// An RTSP or RTMP pull played without a ring for what is left of the check.
template <typename Probe>
void CheckPull(const ChannelRecord& probe, SourceFacts& facts, bool& got_bytes, Probe play)
{
    CheckClock clock;
    play(probe, clock.LeftMs(), [&](const uint8_t* data, std::size_t length) {
        got_bytes = true;
        clock.Got();
        facts.stream.Feed(data, length);
        return !Stopping() && !Enough(facts, clock);
    });
    facts.bitrate = facts.stream.Bitrate(clock.MeasuredSeconds());
}

bool IsDatagramKind(int32_t kind)
{
    return kind == kSourceUdpGroup || kind == kSourceUdpPort || kind == kSourceRtpGroup || kind == kSourceRtpPort ||
           kind == kSourceDvbGroup || kind == kSourceDvbPort;
}

// The channel whose datagram input holds the port the source would bind, or -1. Binding it a
// second time would take datagrams from the channel (or, for another group, mix groups).
int32_t ChannelOnPort(const ChannelTable& table, const SourceRecord& source)
{
    if (!IsDatagramKind(source.kind)) return -1;
    for (int32_t i = 0; i < table.Count(); ++i) {
        const SourceRecord* other = table.channels[static_cast<std::size_t>(i)]->FirstSource();
        if (other != nullptr && IsDatagramKind(other->kind) && other->port == source.port) return i;
    }
    return -1;
}

// The channel whose backup source or merged path holds the port, or -1: its ring is the
// switch's own, so such a port is refused too.
int32_t ChannelExtraOnPort(const ChannelTable& table, const SourceRecord& source)
{
    if (!IsDatagramKind(source.kind)) return -1;
    for (int32_t i = 0; i < table.Count(); ++i) {
        const ChannelRecord& channel = *table.channels[static_cast<std::size_t>(i)];
        std::vector<std::string> extras = channel.backups;
        if (!channel.merge.empty()) extras.push_back(channel.merge);
        for (const std::string& text : extras) {
            if (text.rfind("udp://", 0) != 0 && text.rfind("rtp://", 0) != 0) continue;
            ChannelRecord parsed;
            if (ParseChannelSource(text, parsed) > 0 && parsed.FirstSource()->port == source.port) return i;
        }
    }
    return -1;
}

// Opens a source no channel uses and reads it; false with facts.error when it cannot be.
void CheckUnusedSource(const ChannelRecord& probe, SourceFacts& facts)
{
    const int32_t kind = probe.FirstSource()->kind;
    bool got_bytes = false;
    switch (kind) {
    case kSourceUdpGroup:
    case kSourceUdpPort:
    case kSourceRtpGroup:
    case kSourceRtpPort: CheckDatagrams(probe, facts, got_bytes); break;
    case kSourceHttp: CheckHttp(probe, facts, got_bytes); break;
    case kSourceRtsp:
    case kSourceRtspTs: CheckPull(probe, facts, got_bytes, ProbeRtspSource); break;
    case kSourceRtmp: CheckPull(probe, facts, got_bytes, ProbeRtmpSource); break;
    case kSourceFile:
    case kSourceMp4File:
        facts = ReadFolderFacts(nullptr, probe);
        got_bytes = facts.ts || facts.bitrate > 0;
        break;
    default: facts.error = "not checked for this kind"; return;
    }
    facts.ts = facts.stream.packets() > 0;
    if (facts.error.empty() && !facts.ts) facts.error = got_bytes ? "not a transport stream" : "no data within 5 s";
}

}  // namespace

const char* ChannelKindName(const ChannelRecord& channel)
{
    const SourceTraits& traits = ChannelTraits(channel);
    if (traits.layout == RingLayout::kTsFolder || traits.layout == RingLayout::kMp4Folder) return "folder";
    if (traits.layout == RingLayout::kNone) return "none";
    return traits.name;
}

SourceFacts ReadChannelFacts(const ChannelTable& table, int32_t index)
{
    if (index < 0 || index >= table.Count()) return {};
    ChannelRecord& channel = *table.channels[static_cast<std::size_t>(index)];
    const SourceRecord* source = channel.FirstSource();
    switch (ChannelTraits(channel).layout) {
    case RingLayout::kNone: return {};
    case RingLayout::kTsFolder:
    case RingLayout::kMp4Folder: return ReadFolderFacts(&table, channel);
    case RingLayout::kDvbProgram:
        if (source->dvb_sub != 0 && source->dvb_parent >= 0 && source->dvb_parent < table.Count())
            return ReadRingFacts(*table.channels[static_cast<std::size_t>(source->dvb_parent)]);
        return ReadRingFacts(channel);
    default: return ReadRingFacts(channel);
    }
}

int CheckSource(std::string_view source, SourceFacts& facts)
{
    facts = SourceFacts{};
    if (g_check_running.exchange(true)) {
        facts.error = "busy";
        return 1;
    }
    struct Release {
        ~Release() { g_check_running.store(false); }
    } release;
    char shown[kChannelSrcSize];
    CopyText(shown, MaskSourceCredentials(source));
    LogSystemMessage("Check source [%s]: starting\n", shown);
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    int32_t used_by = -1;
    for (int32_t i = 0; i < table->Count() && used_by < 0; ++i)
        if (source == table->channels[static_cast<std::size_t>(i)]->src) used_by = i;
    ChannelRecord probe;
    if (used_by < 0 && (ParseChannelSource(source, probe) == 0 || probe.FirstSource() == nullptr)) {
        facts.error = "bad source";
    } else if (used_by < 0) {
        // The same port written another way ("udp://:5000") is the channel's own input; another
        // group or kind on it is refused rather than taken from the channel.
        const SourceRecord& wanted = *probe.FirstSource();
        const int32_t on_port = ChannelOnPort(*table, wanted);
        const int32_t extra_on_port = on_port >= 0 ? -1 : ChannelExtraOnPort(*table, wanted);
        if (extra_on_port >= 0) facts.error = "port in use by channel " + std::to_string(extra_on_port + 1);
        if (on_port >= 0) {
            const SourceRecord& held = *table->channels[static_cast<std::size_t>(on_port)]->FirstSource();
            if (held.kind == wanted.kind && std::strcmp(held.host, wanted.host) == 0) used_by = on_port;
            else facts.error = "port in use by channel " + std::to_string(on_port + 1);
        }
    }
    if (used_by >= 0) {
        facts = ReadChannelFacts(*table, used_by);
        if (!facts.ts && facts.bitrate == 0) facts.error = "no data within 5 s";
    } else if (facts.error.empty()) {
        CheckUnusedSource(probe, facts);
    }
    LogSystemMessage("Check source: %s\n", facts.error.empty() ? "done" : facts.error.c_str());
    return facts.error.empty() ? 0 : 1;
}
