#pragma once
// Cutting a transport stream at its key frames: the segments of HLS, and the place where a
// player joining a stream can start.

#include <cstdint>
#include <functional>
#include <string>

// What a segment must span at least before the next key frame ends it.
constexpr double kMinSegmentSeconds = 4.0;

// Cuts a transport stream into segments. Fed any run of bytes (packets need not be aligned to
// the runs); finds the program's PMT from the PAT, the video stream and its key frames (an
// H.264 IDR or HEVC IRAP picture, an MPEG-2 sequence header, or the random-access indicator).
// A segment ends at the first key frame after kMinSegmentSeconds of presentation time;
// the next one starts at the PAT sent just before that key frame, or, when the source sent
// none since the previous picture, with copies of the last PAT and PMT put in front of it.
// Without a video stream it cuts at a PAT. Whatever comes before the first key frame is
// dropped.
// With a limit, no segment gets longer: when no key frame comes in time, the segment ends at
// the picture that reaches the limit (less kLimitLeadSeconds), and the next one starts there,
// behind the tables, without a key frame (a player decodes from the next one); such a
// segment ends at the next key frame however short it is, so that the cuts find the key
// frames again. Without a video stream the cut then falls on the packet of the PCR that
// reaches it.
class TsSegmentCutter {
public:
    struct Segment {
        std::string data;
        double      duration = 0;        // seconds, by the key frames' PTS (or the PCR)
        bool        discontinuity = false; // the clock jumped: players must not expect continuity
    };
    using Output = std::function<void(Segment&&)>;
    // The longest a segment may be, in seconds, asked as each picture comes; 0: no limit.
    using Limit = std::function<double()>;
    static constexpr double kLimitLeadSeconds = 0.1;
    explicit TsSegmentCutter(Output output, Limit limit = {}) : output_(std::move(output)), limit_(std::move(limit)) {}

    void Feed(const uint8_t* data, std::size_t length);
    // The source restarts (a reconnection, a lost sync): a partial packet is dropped, the
    // segment being cut goes on from the next key frame as a discontinuity.
    void Restart();
    std::size_t pending_bytes() const { return segment_.size(); }
    // Where in the bytes fed so far the source's own PAT first came right before a key picture
    // (after the PMT, with no other picture between); -1 until then.
    int64_t first_start() const { return first_start_; }
    // The same for the last such place whose key picture begins before KeepStartsBefore's
    // offset (anywhere without it); -1 until one came.
    int64_t last_start() const { return last_start_; }
    void KeepStartsBefore(int64_t offset) { starts_before_ = offset; }
    // Where a player can start in the bytes fed so far: the first key picture, at the source's
    // own PAT right before it (tables empty), or else at the picture's first packet with copies
    // of the last PAT and PMT to send in front of it (tables). offset is -1 until one came.
    struct Start {
        int64_t     offset = -1;
        std::string tables;
    };
    const Start& first_key() const { return first_key_; }
    // The program's PMT came and names no video stream: no key picture will come.
    bool without_video() const { return !pmt_copy_.empty() && video_pid_ < 0; }

private:
    void Packet(const uint8_t* packet, int64_t offset);
    void ReadPat(const uint8_t* packet);
    void ReadPmt(const uint8_t* packet);
    // Looks at the picture data of the video PES being scanned: 1 key, 0 not, -1 undecided.
    int ScanPicture(const uint8_t* data, int length);
    void CutAt(std::size_t at, bool fresh_tables, double seconds, bool key = true);
    void Picture(int verdict);
    // A picture's PTS: its step from the previous picture's adds to the segment's span.
    void Step(int64_t pts);
    // Seconds of the segment so far: up to the picture being scanned, the steps of its
    // pictures' PTS (at_picture, when both have one); else the span of its PCRs. -1 when no
    // clock tells (or the PCR jumped).
    double SegmentSeconds(bool at_picture) const;
    bool LimitReached(double seconds) const;

    Output      output_;
    Limit       limit_;
    bool        forced_start_ = false;    // the segment being cut began without a key frame
    std::string carry_;                   // a partial packet
    std::string segment_;                 // the segment being cut
    bool        started_ = false;
    bool        discontinuity_ = false;
    int         pmt_pid_ = -1;
    int         video_pid_ = -1;
    int         video_type_ = 0;
    int         pcr_pid_ = -1;
    std::string pat_copy_;
    std::string pmt_copy_;
    int64_t     last_pat_at_ = -1;        // offset in segment_ of the last PAT, -1 none
    bool        pmt_after_pat_ = false;
    int64_t     previous_pes_at_ = -1;    // offset of the picture before the one scanned
    int64_t     scan_at_ = -1;            // offset of the video PES being scanned, -1 none
    int64_t     scan_pts_ = -1;
    bool        scan_fresh_ = false;      // the cut at scan_at_ takes the source's own tables
    int         scan_packets_ = 0;
    uint32_t    scan_window_ = 0xFFFFFFFF; // the last bytes seen, for start codes across packets
    bool        scan_sequence_ = false;
    int64_t     last_pts_ = -1;           // of the previous picture
    int64_t     span_ticks_ = 0;          // 90 kHz: the steps since the segment's first picture
    bool        span_known_ = false;      // the segment's first picture had a PTS
    int64_t     start_pcr_ = -1;
    int64_t     last_pcr_ = -1;           // 90 kHz
    int64_t     fed_ = 0;                 // bytes fed so far
    int64_t     last_pat_offset_ = -1;    // of the last PAT in the bytes fed
    int64_t     scan_pat_offset_ = -1;    // the same when the scanned picture began
    int64_t     first_start_ = -1;
    int64_t     last_start_ = -1;
    int64_t     starts_before_ = INT64_MAX;
    int64_t     scan_packet_offset_ = -1; // of the scanned picture's first packet in the bytes fed
    Start       first_key_;
};

// The first place in a run of transport-stream bytes where a player can start: a PAT that a
// key picture follows (after the PMT); its offset, or -1 when the run holds none.
int64_t FindKeyFrameStart(const uint8_t* data, std::size_t length);
// The last such place whose key picture begins before offset `before` of the run; -1 when
// there is none. The run should go on a little past `before`: a picture is told a key
// picture from its first packets.
int64_t FindLastKeyFrameStart(const uint8_t* data, std::size_t length, int64_t before);
