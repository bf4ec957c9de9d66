#include "ingest/dvb_program_filter.h"

#include "core/platform/platform.h"
#include "media/ts_packet.h"

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
    if (packet[0] != kTsSyncByte) return Verdict::kDrop;       // not a packet: nothing to pass on
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

DvbKeyGate::DvbKeyGate(uint16_t pmt_pid)
    : cutter_([](TsSegmentCutter::Segment&&) {}), pmt_pid_(pmt_pid), started_ms_(GetTickMs())
{
}

bool DvbKeyGate::Hold(const uint8_t* packet, DvbProgramFilter::Verdict verdict)
{
    if (giving_up_) {
        if (verdict != DvbProgramFilter::Verdict::kPat) return false;
        released_.assign(reinterpret_cast<const char*>(packet), kTsPacketSize);
        return open_ = true;
    }
    cutter_.Feed(packet, kTsPacketSize);
    held_.append(reinterpret_cast<const char*>(packet), kTsPacketSize);
    const TsSegmentCutter::Start& start = cutter_.first_key();
    if (start.offset >= 0 || cutter_.without_video()) {
        int64_t from = start.offset >= base_ ? start.offset - base_ : 0;
        from -= from % kTsPacketSize;                            // whole packets only
        released_ = start.tables.substr(0, start.tables.size() - start.tables.size() % kTsPacketSize);
        released_.append(held_, static_cast<std::size_t>(from));
        held_.clear();
        return open_ = true;
    }
    if (GetTickMs() - started_ms_ > kGiveUpMs) {
        held_.clear();
        giving_up_ = true;
        return false;
    }
    if (held_.size() > kMaxHeld) {
        const std::size_t drop = held_.size() / 2 / kTsPacketSize * kTsPacketSize;
        held_.erase(0, drop);
        base_ += static_cast<int64_t>(drop);
    }
    return false;
}

DvbProgramFilter::Verdict DvbKeyGate::VerdictOf(const uint8_t* packet)
{
    TsPacketHeader header;
    const uint16_t pid = parse_ts_header(packet, header);
    if (pid == 0) return DvbProgramFilter::Verdict::kPat;
    if (pid != pmt_pid_ || pmt_released_) return DvbProgramFilter::Verdict::kPass;
    pmt_released_ = true;
    return DvbProgramFilter::Verdict::kFirstPmt;
}
