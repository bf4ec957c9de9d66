#include "support/ts_builder.h"

#include <cstring>

uint32_t TsBuilder::Crc32(const uint8_t* data, std::size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

void TsBuilder::PutPcr(uint8_t* p, int64_t ticks)
{
    const int64_t base      = ticks / 300;
    const int64_t extension = ticks % 300;
    p[0] = static_cast<uint8_t>(base >> 25);
    p[1] = static_cast<uint8_t>(base >> 17);
    p[2] = static_cast<uint8_t>(base >> 9);
    p[3] = static_cast<uint8_t>(base >> 1);
    p[4] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | ((extension >> 8) & 1));
    p[5] = static_cast<uint8_t>(extension);
}

uint8_t* TsBuilder::NewPacket(uint16_t pid, bool unit_start, bool adaptation, bool payload)
{
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 188, 0xFF);
    uint8_t* packet = bytes_.data() + at;
    packet[0] = 0x47;
    packet[1] = static_cast<uint8_t>((unit_start ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    packet[2] = static_cast<uint8_t>(pid);
    const uint8_t counter = payload ? continuity_[pid & 0x1FFF]++ & 0x0F : continuity_[pid & 0x1FFF] & 0x0F;
    packet[3] = static_cast<uint8_t>((adaptation ? 0x20 : 0) | (payload ? 0x10 : 0) | counter);
    return packet;
}

TsBuilder& TsBuilder::RtpHeader(uint16_t sequence, uint32_t timestamp)
{
    const uint8_t header[12] = {0x80, 33, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
                                static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
                                static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp),
                                0, 0, 0, 1};
    bytes_.insert(bytes_.end(), header, header + sizeof header);
    return *this;
}

TsBuilder& TsBuilder::Section(uint16_t pid, const std::vector<uint8_t>& section)
{
    uint8_t* packet = NewPacket(pid, true, false, true);
    packet[4] = 0;                              // pointer_field
    std::memcpy(packet + 5, section.data(), section.size());
    const uint32_t crc = Crc32(section.data(), section.size());
    uint8_t* tail = packet + 5 + section.size();
    tail[0] = static_cast<uint8_t>(crc >> 24);
    tail[1] = static_cast<uint8_t>(crc >> 16);
    tail[2] = static_cast<uint8_t>(crc >> 8);
    tail[3] = static_cast<uint8_t>(crc);
    return *this;
}

TsBuilder& TsBuilder::Pat(const std::vector<Program>& programs)
{
    const std::size_t length = 5 + programs.size() * 4 + 4;   // after section_length, CRC included
    std::vector<uint8_t> section = {0x00, static_cast<uint8_t>(0xB0 | (length >> 8)), static_cast<uint8_t>(length),
                                    0x00, 0x01, 0xC1, 0x00, 0x00};
    for (const Program& program : programs) {
        section.push_back(static_cast<uint8_t>(program.number >> 8));
        section.push_back(static_cast<uint8_t>(program.number));
        section.push_back(static_cast<uint8_t>(0xE0 | (program.pmt_pid >> 8)));
        section.push_back(static_cast<uint8_t>(program.pmt_pid));
    }
    return Section(0, section);
}

TsBuilder& TsBuilder::Pmt(uint16_t pmt_pid, uint16_t program, uint16_t pcr_pid, const std::vector<Stream>& streams)
{
    const std::size_t length = 9 + streams.size() * 5 + 4;
    std::vector<uint8_t> section = {0x02, static_cast<uint8_t>(0xB0 | (length >> 8)), static_cast<uint8_t>(length),
                                    static_cast<uint8_t>(program >> 8), static_cast<uint8_t>(program), 0xC1, 0x00,
                                    0x00, static_cast<uint8_t>(0xE0 | (pcr_pid >> 8)), static_cast<uint8_t>(pcr_pid),
                                    0xF0, 0x00};
    for (const Stream& stream : streams) {
        section.push_back(stream.type);
        section.push_back(static_cast<uint8_t>(0xE0 | (stream.pid >> 8)));
        section.push_back(static_cast<uint8_t>(stream.pid));
        section.push_back(0xF0);
        section.push_back(0x00);
    }
    return Section(pmt_pid, section);
}

TsBuilder& TsBuilder::Pcr(uint16_t pid, int64_t ticks)
{
    uint8_t* packet = NewPacket(pid, false, true, false);
    packet[4] = 183;                            // the adaptation field fills the packet
    packet[5] = 0x10;                           // PCR_flag
    PutPcr(packet + 6, ticks);
    return *this;
}

TsBuilder& TsBuilder::VideoPes(uint16_t pid, int64_t pts, bool with_pcr, int64_t pcr_ticks)
{
    uint8_t* packet = NewPacket(pid, true, with_pcr, true);
    int at = 4;
    if (with_pcr) {
        packet[4] = 7;
        packet[5] = 0x10;
        PutPcr(packet + 6, pcr_ticks);
        at = 12;
    }
    const uint8_t pes[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05,
                           static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)), static_cast<uint8_t>(pts >> 22),
                           static_cast<uint8_t>(((pts >> 14) & 0xFE) | 1), static_cast<uint8_t>(pts >> 7),
                           static_cast<uint8_t>(((pts << 1) & 0xFE) | 1)};
    std::memcpy(packet + at, pes, sizeof pes);
    return *this;
}

TsBuilder& TsBuilder::Null(int count)
{
    for (int i = 0; i < count; ++i) NewPacket(0x1FFF, false, false, true);
    return *this;
}

TsBuilder& TsBuilder::Payload(uint16_t pid, uint8_t fill)
{
    uint8_t* packet = NewPacket(pid, false, false, true);
    std::memset(packet + 4, fill, 184);
    return *this;
}

TsBuilder& TsBuilder::Raw(const std::vector<uint8_t>& bytes)
{
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}
