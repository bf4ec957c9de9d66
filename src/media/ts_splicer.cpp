#include "media/ts_splicer.h"

#include <cstring>

namespace {

constexpr uint16_t kNullPid = 0x1FFF;

uint16_t PidOf(const uint8_t* packet) { return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]); }

bool UnitStart(const uint8_t* packet) { return (packet[1] & 0x40) != 0; }

// The PMT PID of the first program of a PAT that starts in this packet; 0 when it names none.
uint16_t FirstPmtPid(const uint8_t* packet)
{
    const int start = payload_offset(packet);
    if (start >= kTsPacketSize) return 0;
    const int section = start + 1 + packet[start];          // after the pointer field
    if (section + 8 > kTsPacketSize || packet[section] != 0x00) return 0;
    const int length = ((packet[section + 1] & 0x0F) << 8) | packet[section + 2];
    const int end = section + 3 + length - 4;               // the CRC is not a program
    for (int at = section + 8; at + 4 <= end && at + 4 <= kTsPacketSize; at += 4) {
        const int program = (packet[at] << 8) | packet[at + 1];
        const uint16_t pid = static_cast<uint16_t>(((packet[at + 2] & 0x1F) << 8) | packet[at + 3]);
        if (program != 0 && pid != 0 && pid != kNullPid) return pid;
    }
    return 0;
}

}  // namespace

bool is_source_switch_mark(const uint8_t* packet)
{
    return packet[0] == kTsSyncByte && PidOf(packet) == 0 && ((packet[3] >> 4) & 0x3) == 0x2 && packet[4] > 0 &&
           (packet[5] & 0x80) != 0;
}

bool holds_source_switch_mark(const uint8_t* data, std::size_t length)
{
    for (std::size_t at = 0; at + kTsPacketSize <= length; at += kTsPacketSize)
        if (is_source_switch_mark(data + at)) return true;
    return false;
}

void TsSourceSplicer::Switch(bool marked)
{
    state_  = State::kAwaitPat;
    marked_ = marked;
    started_.reset();
    if (marked) version_step_ = (version_step_ + 1) % 32;
}

const uint8_t* TsSourceSplicer::Versioned(const uint8_t* packet, uint16_t pid)
{
    if (version_step_ == 0 || (pid != 0 && pid != pmt_pid_) || !UnitStart(packet)) return packet;
    const int start = payload_offset(packet);
    if (start >= kTsPacketSize) return packet;
    const int section = start + 1 + packet[start];
    if (section + 8 > kTsPacketSize) return packet;
    const int end = section + 3 + (((packet[section + 1] & 0x0F) << 8) | packet[section + 2]);
    // Only a whole section whose CRC holds: anything else is passed as the source sent it.
    if (end > kTsPacketSize || end < section + 12 || crc32_mpeg(packet + section, static_cast<std::size_t>(end - section)) != 0)
        return packet;
    std::memcpy(versioned_, packet, kTsPacketSize);
    uint8_t& version = versioned_[section + 5];
    version = static_cast<uint8_t>((version & 0xC1) | ((((version >> 1) + version_step_) & 0x1F) << 1));
    const uint32_t crc = crc32_mpeg(versioned_ + section, static_cast<std::size_t>(end - 4 - section));
    for (int k = 0; k < 4; ++k) versioned_[end - 4 + k] = static_cast<uint8_t>(crc >> (24 - 8 * k));
    return versioned_;
}

void TsSourceSplicer::Start(const uint8_t* packet, uint16_t pid, const PacketFn& out)
{
    started_.set(pid);
    if (marked_) {
        // Adaptation only, so the counter stays where the PID's next packet expects it.
        uint8_t mark[kTsPacketSize];
        std::memset(mark, 0xFF, sizeof mark);
        const uint8_t counter = (packet[3] & 0x10) != 0 ? static_cast<uint8_t>((packet[3] - 1) & 0x0F) : packet[3] & 0x0F;
        mark[0] = kTsSyncByte;
        mark[1] = static_cast<uint8_t>(pid >> 8);
        mark[2] = static_cast<uint8_t>(pid & 0xFF);
        mark[3] = static_cast<uint8_t>(0x20 | counter);
        mark[4] = kTsPacketSize - 5;
        mark[5] = 0x80;                                     // discontinuity indicator
        out(mark);
    }
    out(Versioned(packet, pid));
}

void TsSourceSplicer::Packet(const uint8_t* packet, const PacketFn& out)
{
    if (packet[0] != kTsSyncByte) return;
    const uint16_t pid = PidOf(packet);
    switch (state_) {
    case State::kAwaitPat:
        if (pid != 0 || !UnitStart(packet) || (pmt_pid_ = FirstPmtPid(packet)) == 0) return;
        std::memcpy(pat_, packet, kTsPacketSize);
        state_ = State::kAwaitPmt;
        return;
    case State::kAwaitPmt:
        if (pid == 0 && UnitStart(packet)) {
            if (const uint16_t pmt = FirstPmtPid(packet); pmt != 0) {
                pmt_pid_ = pmt;
                std::memcpy(pat_, packet, kTsPacketSize);
            }
            return;
        }
        if (pid != pmt_pid_ || !UnitStart(packet)) return;
        Start(pat_, 0, out);
        Start(packet, pid, out);
        state_ = State::kPassing;
        return;
    case State::kPassing:
        // A PID starts at a unit start, or at a packet without payload (a PCR of its own).
        if (started_.test(pid) || pid == kNullPid) out(Versioned(packet, pid));
        else if (UnitStart(packet) || (packet[3] & 0x10) == 0) Start(packet, pid, out);
        return;
    }
}
