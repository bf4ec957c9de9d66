#pragma once
// Builds programme-guide (EIT) sections with their CRC-32 and carries them in 188-byte packets
// of PID 0x12 with running continuity counters: one section per packet run, or several packed
// back to back as a multiplexer does. Texts are given as the bytes a broadcaster sends (table
// selector included), so tests choose the character table.

#include "support/ts_builder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct EitTestEvent {
    uint16_t    event_id = 1;
    uint16_t    mjd = 0xC079;                  // 1993-10-13
    uint32_t    start_bcd = 0x124500;          // hhmmss
    uint32_t    duration_bcd = 0x013000;
    bool        short_event = true;            // carry a short event descriptor
    std::string language = "eng";
    std::string title;
    std::string text;
    std::vector<std::string> extended;         // the text of one extended event descriptor each
};

struct EitTestSection {
    uint8_t  table_id = 0x4E;
    uint16_t service_id = 1;
    uint8_t  version = 0;
    uint8_t  section_number = 0;
    uint8_t  last_section_number = 1;
    bool     current = true;
    std::vector<EitTestEvent> events;
};

// The section bytes, CRC included.
inline std::vector<uint8_t> EitSectionBytes(const EitTestSection& s)
{
    std::vector<uint8_t> out = {s.table_id, 0, 0, static_cast<uint8_t>(s.service_id >> 8),
                                static_cast<uint8_t>(s.service_id), static_cast<uint8_t>(0xC0 | ((s.version & 0x1F) << 1) | (s.current ? 1 : 0)),
                                s.section_number, s.last_section_number, 0x00, 0x01,   // transport stream 1
                                0x00, 0x02,                                           // original network 2
                                s.last_section_number, s.table_id};
    auto put_text = [&out](const std::string& text) {
        out.push_back(static_cast<uint8_t>(text.size()));
        out.insert(out.end(), text.begin(), text.end());
    };
    for (const EitTestEvent& e : s.events) {
        const std::size_t head = out.size();
        out.insert(out.end(), {static_cast<uint8_t>(e.event_id >> 8), static_cast<uint8_t>(e.event_id),
                               static_cast<uint8_t>(e.mjd >> 8), static_cast<uint8_t>(e.mjd),
                               static_cast<uint8_t>(e.start_bcd >> 16), static_cast<uint8_t>(e.start_bcd >> 8),
                               static_cast<uint8_t>(e.start_bcd), static_cast<uint8_t>(e.duration_bcd >> 16),
                               static_cast<uint8_t>(e.duration_bcd >> 8), static_cast<uint8_t>(e.duration_bcd), 0, 0});
        if (e.short_event) {
            out.push_back(0x4D);
            out.push_back(static_cast<uint8_t>(3 + 1 + e.title.size() + 1 + e.text.size()));
            out.insert(out.end(), e.language.begin(), e.language.begin() + 3);
            put_text(e.title);
            put_text(e.text);
        }
        for (std::size_t n = 0; n < e.extended.size(); ++n) {
            out.push_back(0x4E);
            out.push_back(static_cast<uint8_t>(1 + 3 + 1 + 1 + e.extended[n].size()));
            out.push_back(static_cast<uint8_t>(n << 4 | (e.extended.size() - 1)));
            out.insert(out.end(), e.language.begin(), e.language.begin() + 3);
            out.push_back(0);                                           // no items
            put_text(e.extended[n]);
        }
        const std::size_t loop = out.size() - head - 12;
        out[head + 10] = static_cast<uint8_t>(0x80 | loop >> 8);        // running
        out[head + 11] = static_cast<uint8_t>(loop);
    }
    const std::size_t section_length = out.size() - 3 + 4;
    out[1] = static_cast<uint8_t>(0xF0 | section_length >> 8);
    out[2] = static_cast<uint8_t>(section_length);
    const uint32_t crc = TsBuilder::Crc32(out.data(), out.size());
    out.insert(out.end(), {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                           static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
    return out;
}

// Packets of one PID; the continuity counter runs on across calls.
class EitPackets {
public:
    explicit EitPackets(uint16_t pid = 0x12) : pid_(pid) {}

    // Sections packed back to back from a fresh packet: a packet where one starts carries the
    // pointer to the first start; after the last, 0xFF to the end of its packet.
    EitPackets& Add(const std::vector<std::vector<uint8_t>>& sections)
    {
        std::vector<uint8_t> stream;
        std::vector<std::size_t> starts;
        for (const auto& s : sections) {
            starts.push_back(stream.size());
            stream.insert(stream.end(), s.begin(), s.end());
        }
        std::size_t next_start = 0;                          // index into starts
        for (std::size_t at = 0; at < stream.size();) {
            uint8_t* p = NewPacket();
            // A section may start only in a packet with the pointer field; one that would
            // begin on the last byte waits for the next packet behind one stuffing byte.
            const bool starts_here = next_start < starts.size() && starts[next_start] < at + 183;
            std::size_t room = 184;
            uint8_t* payload = p + 4;
            if (starts_here) {
                p[1] |= 0x40;
                *payload++ = static_cast<uint8_t>(starts[next_start] - at);
                room = 183;
                while (next_start < starts.size() && starts[next_start] < at + room) ++next_start;
            } else if (next_start < starts.size() && starts[next_start] < at + 184) {
                room = starts[next_start] - at;
            }
            const std::size_t take = std::min(room, stream.size() - at);
            std::copy(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(at + take), payload);
            at += take;
        }
        return *this;
    }
    EitPackets& Add(const std::vector<uint8_t>& section) { return Add(std::vector<std::vector<uint8_t>>{section}); }
    EitPackets& Add(const EitTestSection& section) { return Add(EitSectionBytes(section)); }

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::size_t Count() const { return bytes_.size() / 188; }
    const uint8_t* Packet(std::size_t index) const { return bytes_.data() + index * 188; }

private:
    uint8_t* NewPacket()
    {
        bytes_.resize(bytes_.size() + 188, 0xFF);
        uint8_t* p = bytes_.data() + bytes_.size() - 188;
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>(pid_ >> 8 & 0x1F);
        p[2] = static_cast<uint8_t>(pid_);
        p[3] = static_cast<uint8_t>(0x10 | continuity_);
        continuity_ = (continuity_ + 1) & 0x0F;
        return p;
    }

    uint16_t             pid_;
    uint8_t              continuity_ = 0;
    std::vector<uint8_t> bytes_;
};
