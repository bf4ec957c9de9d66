#include "stream/dvb_program.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "media/ts_packet.h"
#include "media/ts_timing.h"

#include <cstring>
#include <optional>
#include <string>


ChannelRecord& DvbRingChannel(const ChannelTable& table, ChannelRecord& channel)
{
    const SourceRecord& source = *channel.FirstSource();
    if (source.dvb_sub != 0 && source.dvb_parent >= 0 && source.dvb_parent < table.Count())
        return *table.channels[static_cast<std::size_t>(source.dvb_parent)];
    return channel;
}

int64_t DvbPcrPace::Next(const uint8_t* packet, bool near_tail)
{
    int64_t pcr = 0;
    if (!extract_pcr(packet, pcr)) return 0;
    if (reference_ < 0) {
        reference_ = pcr;
        return 0;
    }
    if (pcr <= reference_) return 0;
    const double interval = static_cast<double>(pcr - reference_) / static_cast<double>(kPcrTicksPerSecond);
    if (interval <= static_cast<double>(g_config.bitrate_constant) * 0.2 + 0.2) return 0;
    reference_ = pcr;
    return near_tail ? 0 : sleep_.NextMs(interval);
}

namespace {

// Hands a packet that passed the filter on, through the key gate when there is one.
bool HandOn(const DvbProgramReader& reader, DvbKeyGate* gate, uint8_t* packet, DvbProgramFilter::Verdict verdict, bool near_tail)
{
    if (gate == nullptr || gate->open()) return reader.packet(packet, verdict, near_tail);
    if (!gate->Hold(packet, verdict)) return true;
    std::string released = gate->released();
    for (std::size_t at = 0; at + kTsPacketSize <= released.size(); at += kTsPacketSize) {
        auto* bytes = reinterpret_cast<uint8_t*>(released.data() + at);
        if (!reader.packet(bytes, gate->VerdictOf(bytes), near_tail)) return false;
    }
    return true;
}

}  // namespace

DvbRead ReadDvbProgram(RingReader& ring, const ChannelRecord& ring_channel, DvbProgramFilter& filter,
                       const DvbProgramReader& reader)
{
    std::optional<DvbKeyGate> gate;
    if (reader.from_key_picture) gate.emplace(filter.pmt_pid());
    uint8_t slot[kRingSlotSize];
    while (!reader.stopped()) {
        filter.Refresh();
        int length = 0;
        const RingReader::Next next = ring.NextSlot(slot, length);
        if (next == RingReader::Next::kRetired) return DvbRead::kRetired;
        if (next != RingReader::Next::kSlot) {
            if (reader.idle && !reader.idle()) return DvbRead::kEnded;
            ring.WaitForWriter(100);
            continue;
        }
        const int32_t read = (ring.output_index() + kRingSlots - 1) % kRingSlots;
        const bool near_tail = (read - ring_channel.time_index.load() + kRingSlots) % kRingSlots <= 99;
        for (int at = 0; at + kTsPacketSize <= length; at += kTsPacketSize) {
            const DvbProgramFilter::Verdict verdict = filter.Pass(slot + at);
            if (verdict != DvbProgramFilter::Verdict::kDrop && !HandOn(reader, gate ? &*gate : nullptr, slot + at, verdict, near_tail))
                return DvbRead::kEnded;
        }
    }
    return DvbRead::kEnded;
}

void FollowDvbProgram(const ChannelTable& table, ChannelRecord& channel, const DvbProgramReader& reader)
{
    const SourceRecord& source = *channel.FirstSource();
    ChannelRecord& ring_channel = DvbRingChannel(table, channel);
    while (!reader.stopped()) {
        // The table parser names the program once it has read the multiplex's tables.
        if (source.socket.load() == -1 || source.program_number.load() == 0) {
            SleepUnlessStopping(1000);
            continue;
        }
        DvbProgramFilter filter(source);
        RingReader ring(ring_channel, false, reader.thread_number);
        const RingReader::Join join = ring.JoinBackward(reader.stopped, reader.from_key_picture ? kDvbKeyPictureLead : 0);
        if (join == RingReader::Join::kStopped) return;
        if (join != RingReader::Join::kJoined) {
            SleepUnlessStopping(1000);
            continue;
        }
        if (reader.joined) reader.joined(filter);
        if (ReadDvbProgram(ring, ring_channel, filter, reader) == DvbRead::kEnded || !reader.follow_next_ring) return;
        if (!reader.closed_line.empty()) LogSystemMessage("%s", reader.closed_line.c_str());
        if (!reader.stopped()) SleepUnlessStopping(1000);
    }
}

void ServeDvbProgramBlocks(const ChannelTable& table, ChannelRecord& channel, DvbBlockOutput& output)
{
    uint8_t block[kTsBlockSize];
    int filled = 0;
    DvbPcrPace pace;
    DvbProgramReader& reader = output.reader;
    const std::function<void(const DvbProgramFilter&)> joined = reader.joined;
    reader.joined = [&](const DvbProgramFilter& filter) {
        filled = 0;                                        // a new join starts whole blocks again
        if (joined) joined(filter);
    };
    reader.packet = [&](uint8_t* packet, DvbProgramFilter::Verdict, bool near_tail) {
        std::memcpy(block + filled, packet, kTsPacketSize);
        filled += kTsPacketSize;
        if (filled == kTsBlockSize) {
            filled = 0;
            if (!output.send(block, kTsBlockSize)) return false;
        }
        const int64_t ms = pace.Next(packet, near_tail);
        if (ms > 0) {
            if (output.before_sleep) output.before_sleep();
            SleepUnlessStopping(static_cast<uint32_t>(ms > 10000 ? 10000 : ms));
        }
        return true;
    };
    FollowDvbProgram(table, channel, reader);
}
