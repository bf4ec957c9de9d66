#pragma once
// Builds transport-stream bytes for tests: PAT, PMT (with a correct CRC-32), packets with a
// PCR, video PES headers with a PTS, null packets and an RTP header. Each call appends.

#include <cstdint>
#include <utility>
#include <vector>

class TsBuilder {
public:
    struct Program {
        uint16_t number;
        uint16_t pmt_pid;
    };
    struct Stream {
        uint8_t  type;                          // 0x1B H.264, 0x02 MPEG-2 video, 0x0F AAC ...
        uint16_t pid;
    };

    TsBuilder& RtpHeader(uint16_t sequence = 0, uint32_t timestamp = 0);
    TsBuilder& Pat(const std::vector<Program>& programs = {{1, 0x100}});
    TsBuilder& Pmt(uint16_t pmt_pid = 0x100, uint16_t program = 1, uint16_t pcr_pid = 0x101,
                   const std::vector<Stream>& streams = {{0x1B, 0x101}, {0x0F, 0x102}});
    // A packet of pid whose adaptation field carries the PCR (27 MHz ticks).
    TsBuilder& Pcr(uint16_t pid, int64_t ticks);
    // A packet of pid starting a video PES (stream 0xE0) with the PTS (90 kHz); with_pcr adds
    // an adaptation field with that PCR first.
    TsBuilder& VideoPes(uint16_t pid, int64_t pts, bool with_pcr = false, int64_t pcr_ticks = 0);
    TsBuilder& Null(int count = 1);
    // A payload-only packet of pid filled with fill.
    TsBuilder& Payload(uint16_t pid, uint8_t fill = 0xFF);
    TsBuilder& Raw(const std::vector<uint8_t>& bytes);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::size_t Size() const { return bytes_.size(); }

    // MPEG-2 CRC-32 (polynomial 0x04C11DB7, initial 0xFFFFFFFF, no reflection).
    static uint32_t Crc32(const uint8_t* data, std::size_t length);
    static void PutPcr(uint8_t* six_bytes, int64_t ticks);

private:
    uint8_t* NewPacket(uint16_t pid, bool unit_start, bool adaptation, bool payload);
    TsBuilder& Section(uint16_t pid, const std::vector<uint8_t>& section_without_crc);
    std::vector<uint8_t> bytes_;
    uint8_t continuity_[8192] = {};
};
