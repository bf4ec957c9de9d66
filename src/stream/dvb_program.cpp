#include "stream/dvb_program.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "media/ts_packet.h"
#include "media/ts_timing.h"

#include <cstring>

namespace {

// Rewrites a PAT packet in place so that it lists only one program.
void RewritePat(uint8_t* packet, uint16_t program_number, uint16_t pmt_pid)
{
    int at = 4;
    if (packet[3] & 0x20) at += 1 + packet[4];
    at += 1;                                               // pointer field
    if (at + 16 > kTsPacketSize) return;
    uint8_t* section = packet + at;
    section[1] = 0xB0;
    section[2] = 13;
    section[6] = 0;
    section[7] = 0;
    section[8] = static_cast<uint8_t>(program_number >> 8);
    section[9] = static_cast<uint8_t>(program_number);
    section[10] = static_cast<uint8_t>(0xE0 | (pmt_pid >> 8));
    section[11] = static_cast<uint8_t>(pmt_pid);
    const uint32_t crc = crc32_mpeg(section, 12);
    section[12] = static_cast<uint8_t>(crc >> 24);
    section[13] = static_cast<uint8_t>(crc >> 16);
    section[14] = static_cast<uint8_t>(crc >> 8);
    section[15] = static_cast<uint8_t>(crc);
    std::memset(section + 16, 0xFF, static_cast<std::size_t>(kTsPacketSize - at - 16));
}

}  // namespace

DvbProgramFilter::DvbProgramFilter(const SourceRecord& source)
    : source_(source), program_(source.program_number.load()), pmt_pid_(source.pmt_pid.load())
{
    pcr_pid_ = source.pcr_pid.load();
    stream_count_ = source.stream_count.load();
    TakeStreams();
}

void DvbProgramFilter::TakeStreams()
{
    stream_count_ = source_.stream_count.load();
    pcr_pid_ = source_.pcr_pid.load();
    pids_.clear();
    for (int i = 0; i < stream_count_ && i < kMaxDvbStreams; ++i) pids_.push_back(source_.streams[i].pid);
}

void DvbProgramFilter::Refresh()
{
    if (stream_count_ == 0 && source_.stream_count.load() != 0) TakeStreams();
}

DvbProgramFilter::Verdict DvbProgramFilter::Pass(uint8_t* packet)
{
    TsPacketHeader header;
    const uint16_t pid = parse_ts_header(packet, header);
    if (pid == 0) {
        RewritePat(packet, program_, pmt_pid_);
        pat_passed_ = true;
        return Verdict::kPat;
    }
    if (pid == pmt_pid_ && pat_passed_) {
        const bool first = !pmt_passed_;
        pmt_passed_ = true;
        return first ? Verdict::kFirstPmt : Verdict::kPass;
    }
    if (!pat_passed_ || !pmt_passed_) return Verdict::kDrop;
    bool pass = pid == pcr_pid_;
    for (const uint16_t stream : pids_) pass = pass || pid == stream;
    return pass ? Verdict::kPass : Verdict::kDrop;
}

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

DvbRead ReadDvbProgram(RingReader& ring, const ChannelRecord& ring_channel, DvbProgramFilter& filter,
                       const DvbProgramReader& reader)
{
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
            if (verdict != DvbProgramFilter::Verdict::kDrop && !reader.packet(slot + at, verdict, near_tail))
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
        const RingReader::Join join = ring.JoinBackward(reader.stopped);
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
