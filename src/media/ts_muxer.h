#pragma once
// A transport-stream muxer for sources that arrive as access units (MP4 files, RTMP): one
// program, its tracks declared up front, out as 1316-byte blocks of seven packets like every
// other live source.

#include "media/elementary.h"
#include "media/ts_packet.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

enum class TsCodec : uint8_t {
    kH264,          // Annex B access units, stream type 0x1B
    kHevc,          // Annex B access units, stream type 0x24
    kAac,           // ADTS frames, stream type 0x0F
    kMpeg1Audio,    // MP2/MP3 frames at 32-48 kHz, stream type 0x03
    kMpeg2Audio,    // MP2/MP3 frames at the half rates, stream type 0x04
    kAc3,           // AC-3 frames, stream type 0x81 with an "AC-3" registration
};

// Track n goes out on PID first_pid + n in PES packets one access unit each. The PCR rides the
// first video track (the first track when there is none) and stays kPcrDelay90k behind the DTS
// written, so that every access unit arrives before it is due. PAT and PMT come first, before
// every key frame and at least every 100 ms of the clock; a PCR at least every 40 ms of it
// (PCR-only packets fill the gaps of sparse tracks). Timestamps are taken as given and written
// modulo 2^33. Not thread-safe: one writer.
class TsMuxer {
public:
    using Output = std::function<void(const uint8_t* block, int size)>;
    static constexpr int     kMaxTracks = 8;
    static constexpr int64_t kPcrDelay90k = 63000;           // 700 ms
    static constexpr int64_t kPcrInterval90k = 3600;         // 40 ms
    static constexpr int64_t kTableInterval90k = 9000;       // 100 ms

    // Tracks past kMaxTracks are dropped (valid() is false then, and with none).
    TsMuxer(const std::vector<TsCodec>& tracks, Output output, uint16_t first_pid = 0x100, uint16_t pmt_pid = 0x1000,
            uint16_t program_number = 1);

    bool valid() const { return valid_; }
    // Writes one access unit of track (key: a random-access point of a video track). Units come
    // in DTS order across the tracks (out of order by less than the delay is harmless); a PTS
    // below the DTS is raised to it; a DTS more than a second behind the clock starts a new
    // stream as Reset does. False, writing nothing, for an unknown track, an empty unit or one
    // over kMaxAccessUnitSize, an audio unit too long for one PES packet, or a timestamp past 2^60.
    [[nodiscard]] bool Write(int track, const uint8_t* data, std::size_t size, int64_t pts90k, int64_t dts90k,
                             bool key);
    // Sends the partial block, filled up with null packets.
    void Flush();
    // The source starts over (new timestamps): the continuity counters go on, every PID's next
    // packet carries the discontinuity indicator, and tables and PCR start afresh.
    void Reset();

private:
    struct Track {
        TsCodec  codec;
        uint16_t pid;
        uint8_t  stream_id;
        uint8_t  continuity = 0;
        bool     discontinuity = false;
    };
    // The fields of a packet's adaptation field beyond stuffing.
    struct Adaptation {
        bool    discontinuity = false;
        bool    random_access = false;
        bool    with_pcr = false;
        int64_t pcr90k = 0;
    };
    void BuildTables(uint16_t program_number);
    // Brings the clock to dts90k - delay: PCR-only packets where it would leave a gap over
    // kPcrInterval90k, tables where they are due.
    void Advance(int64_t target);
    void TablesIfDue(bool force);
    void WriteSection(Track& table, const uint8_t* section, int length);
    void WritePcrOnly();
    void WritePes(Track& track, const uint8_t* header, int header_size, const uint8_t* data, std::size_t size,
                  bool key, bool with_pcr);
    // Writes the header and adaptation field of the next packet of the block for up to
    // payload_left bytes of payload, stuffing what they leave over; returns the payload size
    // taken, which ends the packet (0: a packet without payload).
    int BeginPacket(Track& track, bool unit_start, const Adaptation& fields, std::size_t payload_left);
    void EndPacket();

    Output             output_;
    std::vector<Track> tracks_;
    bool               valid_ = false;
    int                pcr_track_ = 0;
    Track              pat_{};
    Track              pmt_{};
    uint8_t            pat_section_[16] = {};
    uint8_t            pmt_section_[12 + kMaxTracks * 11 + 4] = {};
    int                pmt_length_ = 0;
    bool               started_ = false;     // a PCR has been written since the start or Reset
    int64_t            clock_ = 0;           // the highest target so far, in 90 kHz ticks
    int64_t            last_pcr_ = 0;
    int64_t            last_tables_ = 0;     // the clock when the tables were last written
    uint8_t            block_[kTsBlockSize] = {};
    int                packets_ = 0;         // filled packets in block_
};
