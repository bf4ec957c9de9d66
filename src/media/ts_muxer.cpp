#include "media/ts_muxer.h"

#include <cstring>

namespace {

constexpr int     kPayloadRoom = kTsPacketSize - 4;
constexpr int64_t kTimestampMask = (int64_t{1} << 33) - 1;
// A clock jump longer than this is not bridged with PCR-only packets; one backwards this
// far is a new source.
constexpr int64_t kClockJump90k = 90000;
constexpr int     kMaxPesHeader = 19;

bool IsVideo(TsCodec codec)
{
    return codec == TsCodec::kH264 || codec == TsCodec::kHevc;
}

uint8_t StreamType(TsCodec codec)
{
    switch (codec) {
    case TsCodec::kH264: return 0x1B;
    case TsCodec::kHevc: return 0x24;
    case TsCodec::kAac: return 0x0F;
    case TsCodec::kMpeg1Audio: return 0x03;
    case TsCodec::kMpeg2Audio: return 0x04;
    case TsCodec::kAc3: return 0x81;
    }
    return 0x06;
}

void PutTimestamp(uint8_t* p, int prefix, int64_t ticks)
{
    const int64_t t = ticks & kTimestampMask;
    p[0] = static_cast<uint8_t>((prefix << 4) | ((t >> 29) & 0x0E) | 1);
    p[1] = static_cast<uint8_t>(t >> 22);
    p[2] = static_cast<uint8_t>(((t >> 14) & 0xFE) | 1);
    p[3] = static_cast<uint8_t>(t >> 7);
    p[4] = static_cast<uint8_t>(((t << 1) & 0xFE) | 1);
}

void PutCrc(uint8_t* section, int length_before_crc)
{
    const uint32_t crc = crc32_mpeg(section, static_cast<std::size_t>(length_before_crc));
    for (int i = 0; i < 4; ++i) section[length_before_crc + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

}  // namespace

TsMuxer::TsMuxer(const std::vector<TsCodec>& tracks, Output output, uint16_t first_pid, uint16_t pmt_pid,
                 uint16_t program_number)
    : output_(std::move(output))
{
    const int count = static_cast<int>(tracks.size());
    valid_ = count > 0 && count <= kMaxTracks && first_pid >= 0x10 && first_pid + count <= 0x1FFF && pmt_pid >= 0x10 &&
             pmt_pid < 0x1FFF && (pmt_pid < first_pid || pmt_pid >= first_pid + count);
    if (!valid_) return;
    int video = 0;
    int audio = 0;
    pcr_track_ = -1;
    for (int i = 0; i < count; ++i) {
        Track track{};
        track.codec = tracks[static_cast<std::size_t>(i)];
        track.pid = static_cast<uint16_t>(first_pid + i);
        if (IsVideo(track.codec)) {
            track.stream_id = static_cast<uint8_t>(0xE0 + video++);
            if (pcr_track_ < 0) pcr_track_ = i;
        } else {
            track.stream_id = track.codec == TsCodec::kAc3 ? 0xBD : static_cast<uint8_t>(0xC0 + audio++);
        }
        tracks_.push_back(track);
    }
    if (pcr_track_ < 0) pcr_track_ = 0;
    pat_.pid = 0;
    pmt_.pid = pmt_pid;
    BuildTables(program_number);
}

void TsMuxer::BuildTables(uint16_t program_number)
{
    uint8_t* s = pat_section_;
    s[0] = 0x00;
    s[1] = 0xB0;
    s[2] = 13;
    s[3] = 0x00;
    s[4] = 0x01;                                           // transport stream 1
    s[5] = 0xC1;                                           // version 0, current
    s[6] = s[7] = 0;
    s[8] = static_cast<uint8_t>(program_number >> 8);
    s[9] = static_cast<uint8_t>(program_number);
    s[10] = static_cast<uint8_t>(0xE0 | (pmt_.pid >> 8));
    s[11] = static_cast<uint8_t>(pmt_.pid);
    PutCrc(s, 12);

    s = pmt_section_;
    const uint16_t pcr_pid = tracks_[static_cast<std::size_t>(pcr_track_)].pid;
    s[0] = 0x02;
    s[3] = static_cast<uint8_t>(program_number >> 8);
    s[4] = static_cast<uint8_t>(program_number);
    s[5] = 0xC1;
    s[6] = s[7] = 0;
    s[8] = static_cast<uint8_t>(0xE0 | (pcr_pid >> 8));
    s[9] = static_cast<uint8_t>(pcr_pid);
    s[10] = 0xF0;
    s[11] = 0x00;
    int at = 12;
    for (const Track& track : tracks_) {
        const bool ac3 = track.codec == TsCodec::kAc3;
        s[at++] = StreamType(track.codec);
        s[at++] = static_cast<uint8_t>(0xE0 | (track.pid >> 8));
        s[at++] = static_cast<uint8_t>(track.pid);
        s[at++] = 0xF0;
        s[at++] = ac3 ? 6 : 0;
        if (ac3) {
            const uint8_t registration[6] = {0x05, 4, 'A', 'C', '-', '3'};
            std::memcpy(s + at, registration, sizeof registration);
            at += 6;
        }
    }
    const int section_length = at + 4 - 3;
    s[1] = static_cast<uint8_t>(0xB0 | (section_length >> 8));
    s[2] = static_cast<uint8_t>(section_length);
    PutCrc(s, at);
    pmt_length_ = at + 4;
}

bool TsMuxer::Write(int track, const uint8_t* data, std::size_t size, int64_t pts90k, int64_t dts90k, bool key)
{
    // Timestamps this far out would overflow the clock arithmetic; no source sends them.
    constexpr int64_t kFarOut = int64_t{1} << 60;
    if (!valid_ || track < 0 || track >= static_cast<int>(tracks_.size()) || data == nullptr || size == 0 ||
        size > kMaxAccessUnitSize || dts90k < -kFarOut || dts90k > kFarOut || pts90k > kFarOut)
        return false;
    Track& t = tracks_[static_cast<std::size_t>(track)];
    const bool video = IsVideo(t.codec);
    if (pts90k < dts90k) pts90k = dts90k;
    const bool with_dts = pts90k != dts90k;
    const int header_size = with_dts ? 19 : 14;
    const std::size_t pes_length = static_cast<std::size_t>(header_size) - 6 + size;
    if (pes_length > 0xFFFF && !video) return false;

    uint8_t header[kMaxPesHeader];
    header[0] = 0;
    header[1] = 0;
    header[2] = 1;
    header[3] = t.stream_id;
    header[4] = pes_length > 0xFFFF ? 0 : static_cast<uint8_t>(pes_length >> 8);   // video: unbounded
    header[5] = pes_length > 0xFFFF ? 0 : static_cast<uint8_t>(pes_length);
    header[6] = 0x84;                                      // data aligned: the unit starts here
    header[7] = with_dts ? 0xC0 : 0x80;
    header[8] = static_cast<uint8_t>(header_size - 9);
    PutTimestamp(header + 9, with_dts ? 3 : 2, pts90k);
    if (with_dts) PutTimestamp(header + 14, 1, dts90k);

    const int64_t target = dts90k - kPcrDelay90k;
    if (started_ && target < clock_ - kClockJump90k) Reset();
    const bool first = !started_;
    if (first) {
        started_ = true;
        clock_ = last_pcr_ = target;
    } else {
        Advance(target);
    }
    if (first || (key && video)) TablesIfDue(true);
    const bool pcr_here = track == pcr_track_;
    if (first && !pcr_here) WritePcrOnly();
    if (pcr_here) last_pcr_ = clock_;
    WritePes(t, header, header_size, data, size, key && video, pcr_here);
    return true;
}

void TsMuxer::Advance(int64_t target)
{
    TablesIfDue(false);
    if (target > clock_) clock_ = target;
    if (clock_ - last_pcr_ > kClockJump90k) {
        last_pcr_ = clock_;
        WritePcrOnly();
        TablesIfDue(false);
        return;
    }
    while (clock_ - last_pcr_ > kPcrInterval90k) {
        last_pcr_ += kPcrInterval90k;
        WritePcrOnly();
        TablesIfDue(false);
    }
}

// The tables are due once the PCR has moved on by the table interval less one PCR step: the
// next PCR may be that step further.
void TsMuxer::TablesIfDue(bool force)
{
    if (!force && last_pcr_ - last_tables_ < kTableInterval90k - kPcrInterval90k) return;
    WriteSection(pat_, pat_section_, 16);
    WriteSection(pmt_, pmt_section_, pmt_length_);
    last_tables_ = last_pcr_;
}

void TsMuxer::WriteSection(Track& table, const uint8_t* section, int length)
{
    Adaptation fields;
    fields.discontinuity = table.discontinuity;
    table.discontinuity = false;
    const int payload = BeginPacket(table, true, fields, kPayloadRoom);
    uint8_t* p = block_ + packets_ * kTsPacketSize + kTsPacketSize - payload;
    p[0] = 0;                                              // pointer field
    std::memcpy(p + 1, section, static_cast<std::size_t>(length));
    std::memset(p + 1 + length, 0xFF, static_cast<std::size_t>(payload - 1 - length));
    EndPacket();
}

void TsMuxer::WritePcrOnly()
{
    Track& track = tracks_[static_cast<std::size_t>(pcr_track_)];
    Adaptation fields;
    fields.discontinuity = track.discontinuity;
    track.discontinuity = false;
    fields.with_pcr = true;
    fields.pcr90k = last_pcr_;
    (void)BeginPacket(track, false, fields, 0);
    EndPacket();
}

void TsMuxer::WritePes(Track& track, const uint8_t* header, int header_size, const uint8_t* data, std::size_t size,
                       bool key, bool with_pcr)
{
    Adaptation fields;
    fields.discontinuity = track.discontinuity;
    track.discontinuity = false;
    fields.random_access = key;
    fields.with_pcr = with_pcr;
    fields.pcr90k = last_pcr_;
    const std::size_t total = static_cast<std::size_t>(header_size) + size;
    std::size_t sent = 0;
    while (sent < total) {
        const int payload = BeginPacket(track, sent == 0, fields, total - sent);
        uint8_t* p = block_ + packets_ * kTsPacketSize + kTsPacketSize - payload;
        std::size_t filled = 0;
        if (sent < static_cast<std::size_t>(header_size)) {
            filled = static_cast<std::size_t>(header_size) - sent;     // the header fits in any first packet
            std::memcpy(p, header + sent, filled);
        }
        std::memcpy(p + filled, data + (sent + filled - static_cast<std::size_t>(header_size)),
                    static_cast<std::size_t>(payload) - filled);
        sent += static_cast<std::size_t>(payload);
        EndPacket();
        fields = Adaptation{};
    }
}

int TsMuxer::BeginPacket(Track& track, bool unit_start, const Adaptation& fields, std::size_t payload_left)
{
    uint8_t* p = block_ + packets_ * kTsPacketSize;
    const bool flagged = fields.discontinuity || fields.random_access || fields.with_pcr;
    const int flags_size = flagged ? 1 + (fields.with_pcr ? 6 : 0) : 0;
    const int room = kPayloadRoom - (flagged ? 1 + flags_size : 0);
    const int payload = payload_left < static_cast<std::size_t>(room) ? static_cast<int>(payload_left) : room;
    const int field_size = kPayloadRoom - payload;         // the adaptation field, stuffing included
    p[0] = kTsSyncByte;
    p[1] = static_cast<uint8_t>((unit_start ? 0x40 : 0) | (track.pid >> 8));
    p[2] = static_cast<uint8_t>(track.pid);
    // A packet without payload repeats the counter of the last one with payload.
    const uint8_t counter = payload > 0 ? track.continuity : static_cast<uint8_t>((track.continuity + 15) & 0x0F);
    p[3] = static_cast<uint8_t>((field_size > 0 ? 0x20 : 0) | (payload > 0 ? 0x10 : 0) | counter);
    if (payload > 0) track.continuity = static_cast<uint8_t>((track.continuity + 1) & 0x0F);
    if (field_size == 0) return payload;
    p[4] = static_cast<uint8_t>(field_size - 1);
    if (field_size == 1) return payload;
    p[5] = static_cast<uint8_t>((fields.discontinuity ? 0x80 : 0) | (fields.random_access ? 0x40 : 0) |
                                (fields.with_pcr ? 0x10 : 0));
    int at = 6;
    if (fields.with_pcr) {
        const int64_t base = fields.pcr90k & kTimestampMask;
        p[6] = static_cast<uint8_t>(base >> 25);
        p[7] = static_cast<uint8_t>(base >> 17);
        p[8] = static_cast<uint8_t>(base >> 9);
        p[9] = static_cast<uint8_t>(base >> 1);
        p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);    // reserved bits, extension 0
        p[11] = 0;
        at = 12;
    }
    std::memset(p + at, 0xFF, static_cast<std::size_t>(4 + field_size - at));
    return payload;
}

void TsMuxer::EndPacket()
{
    if (++packets_ < 7) return;
    packets_ = 0;
    if (output_) output_(block_, kTsBlockSize);
}

void TsMuxer::Flush()
{
    if (packets_ == 0) return;
    while (packets_ < 7) {
        uint8_t* p = block_ + packets_ * kTsPacketSize;
        p[0] = kTsSyncByte;
        p[1] = 0x1F;
        p[2] = 0xFF;
        p[3] = 0x10;
        std::memset(p + 4, 0xFF, kPayloadRoom);
        ++packets_;
    }
    packets_ = 0;
    if (output_) output_(block_, kTsBlockSize);
}

void TsMuxer::Reset()
{
    started_ = false;
    for (Track& track : tracks_) track.discontinuity = true;
    pat_.discontinuity = true;
    pmt_.discontinuity = true;
}
