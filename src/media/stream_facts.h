#pragma once
// What a transport stream carries, read from its packets: the programs of its PAT, the
// elementary streams of each PMT with a codec name (by stream type and descriptors), the
// language an ISO 639 descriptor gives, the picture size of H.264, HEVC and MPEG-2 video from
// their parameter sets, and the bitrate over the span fed (by the PCR). Memory stays bounded
// whatever is fed: kFactsMaxPrograms programs of kFactsMaxStreams streams, one section and one
// parameter set held per PID at a time. Nothing here locks: one reader belongs to one thread.

#include "media/ts_reblocker.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kFactsMaxPrograms = 16;
constexpr int kFactsMaxStreams = 32;
// The most of a parameter set (its escaped bytes) kept to read the picture size from.
constexpr std::size_t kFactsParameterSetMax = 512;

struct StreamFactsStream {
    uint16_t    pid = 0;
    uint8_t     type = 0;               // stream_type of the PMT
    std::string codec;                  // "H.264", "AAC", "teletext", ... ("data" when unknown)
    std::string language;               // three letters, or empty
    int         width = 0;              // pictures of video streams, once a parameter set came
    int         height = 0;
};

struct StreamFactsProgram {
    uint16_t                       number = 0;
    uint16_t                       pmt_pid = 0;
    bool                           pmt_seen = false;
    std::vector<StreamFactsStream> streams;
};

class StreamFacts {
public:
    // One 188-byte packet (a packet without the sync byte is not counted).
    void Packet(const uint8_t* packet);
    // Any run of bytes: realigned to packets first (bytes before a sync, and between losses of
    // it, are dropped; the last few packets of a feed may wait for the next).
    void Feed(const uint8_t* data, std::size_t length);

    bool pat_seen() const { return pat_seen_; }
    // The PAT, each of its programs' PMT, and the picture size of each H.264, HEVC and MPEG-2
    // video stream are known.
    bool Complete() const;
    const std::vector<StreamFactsProgram>& programs() const { return programs_; }
    uint64_t packets() const { return packets_; }
    // The PCR time the bitrate is measured over, in seconds.
    double measured_seconds() const { return static_cast<double>(span_ticks_) / static_cast<double>(kPcrTicksPerSecond); }
    // Bits per second by the PCR over the span fed (at least 0.1 s of it); else, with
    // wall_seconds above 0, the packets fed over that time; else 0.
    int64_t Bitrate(double wall_seconds = 0) const;

private:
    // A PSI section being gathered from the packets of one PID.
    struct Section {
        uint16_t             pid = 0;
        std::vector<uint8_t> bytes;
        bool                 gathering = false;
    };
    // A video or MPEG audio stream's elementary bytes being looked at.
    struct Scan {
        uint16_t             pid = 0;
        uint8_t              type = 0;
        uint32_t             window = 0xFFFFFFFF;
        bool                 collecting = false;
        std::vector<uint8_t> nal;
        std::size_t          program = 0;         // where the stream is in programs_
        std::size_t          index = 0;
        bool                 done = false;        // nothing more to learn from its bytes
    };
    void TableBytes(Section& section, const uint8_t* data, std::size_t length, bool unit_start);
    void Table(const uint8_t* section, std::size_t length);
    void ReadPat(const uint8_t* section, std::size_t length);
    void ReadPmt(StreamFactsProgram& program, const uint8_t* section, std::size_t length);
    void ElementaryBytes(Scan& scan, const uint8_t* data, std::size_t length, bool unit_start);
    void EndParameterSet(Scan& scan, StreamFactsStream& stream);
    void Clock(const uint8_t* packet, uint16_t pid);
    void RebuildScans();

    TsReblocker                     reblocker_;
    bool                            pat_seen_ = false;
    std::vector<StreamFactsProgram> programs_;
    std::vector<Section>            sections_{Section{}};  // PID 0, then each PMT PID
    std::vector<Scan>               scans_;
    uint64_t                        packets_ = 0;
    int                             pcr_pid_ = -1;    // the PID whose PCR is followed
    int64_t                         last_pcr_ = -1;
    uint64_t                        last_pcr_packets_ = 0;
    int64_t                         span_ticks_ = 0;  // 27 MHz, over the steps measured
    uint64_t                        span_packets_ = 0;
};

// The codec name of a stream type with the descriptors of its PMT entry ("data" for a type
// and descriptors not known here).
std::string CodecName(uint8_t stream_type, const uint8_t* descriptors, std::size_t length);
// The picture size of an SPS NAL unit (its header included, still escaped); false when it is
// no SPS or does not add up. hevc: an HEVC SPS, else H.264.
bool SpsPictureSize(const uint8_t* nal, std::size_t length, bool hevc, int& width, int& height);
