#pragma once
// The samples of an MP4 or MOV file, read through its sample tables, for turning the file
// into a transport stream. Only the movie box is read whole (at most kMp4MaxMovieBytes); the
// samples are read one at a time with pread. The reader takes the first video track and the
// first audio track whose codec it knows, and hands their samples interleaved in decode
// order, with times in 90 kHz ticks.
//
// Times: a track's edit list is honoured in its common shapes, a leading empty edit (the
// track starts later) and the media time where the first edit starts (that time becomes the
// track's 0; samples before it come earlier and are kept, as the decoder needs them); further
// edits and edit rates are ignored and the media plays on continuously. Signed
// composition offsets (ctts version 1) move the decode times earlier by the most negative
// offset, so that no presentation time precedes its decode time. The whole file is then
// shifted so that its earliest decode time is 0 (so every DTS and PTS is >= 0), keeping the
// tracks in step.
//
// Refused with an error text: no movie box or one above the bound, a fragmented file, a
// selected track without samples, sample tables that disagree, a track of more than
// kMp4MaxTableEntries samples or tables of more than that many entries in all (a few bytes
// each: sizes and sync samples are kept one by one, times and chunks as runs), no track of a
// known codec. Only the first sample description of a track is read.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr int64_t  kMp4MaxMovieBytes = 64 * 1024 * 1024;
constexpr uint64_t kMp4MaxTableEntries = 10'000'000;
constexpr uint32_t kMp4MaxSampleBytes = 4 * 1024 * 1024;

enum class Mp4Codec { kH264, kHevc, kAac, kMp3, kAc3 };

struct Mp4Track {
    Mp4Codec codec = Mp4Codec::kH264;
    bool     video = false;
    uint32_t track_id = 0;                  // tkhd's
    uint32_t timescale = 0;                 // mdhd's, ticks per second
    int64_t  duration90k = 0;               // mdhd's duration
    // avcC or hvcC record (the box's body), the AudioSpecificConfig of AAC, dac3's body for
    // AC-3; empty for MP3.
    std::vector<uint8_t> config;
    uint16_t width = 0, height = 0;         // video sample entry
    uint16_t channels = 0;                  // audio sample entry
    uint32_t sample_rate = 0;               // audio sample entry (whole Hz)
    uint32_t sample_count = 0;
};

struct Mp4Sample {
    int      track = 0;                     // index into tracks()
    int64_t  offset = 0;                    // in the file
    uint32_t size = 0;
    int64_t  dts90k = 0;
    int64_t  pts90k = 0;
    bool     key = false;                   // sync sample (every audio sample is one)
};

class Mp4Reader {
public:
    Mp4Reader();
    ~Mp4Reader();
    Mp4Reader(const Mp4Reader&) = delete;
    Mp4Reader& operator=(const Mp4Reader&) = delete;

    // Reads the file's structure. The reader does not own fd; it must stay open while the
    // reader is used. False with a one-line reason in error (no newline).
    [[nodiscard]] bool Open(int fd, std::string& error);
    // The selected tracks: the video track first when there is one; at most two.
    const std::vector<Mp4Track>& tracks() const { return tracks_; }
    // Where the last sample of any track ends, in the same time line as the samples: the
    // length of one pass of the file.
    int64_t end90k() const { return end90k_; }
    // The next sample in decode order across the tracks (ties: video first); false at the end.
    [[nodiscard]] bool Next(Mp4Sample& sample);
    // The sample's bytes; false when it is above kMp4MaxSampleBytes or not in the file
    // (a truncated file), which callers treat as the end of the file.
    [[nodiscard]] bool ReadSample(const Mp4Sample& sample, std::vector<uint8_t>& data) const;
    // Goes to the last video key frame whose DTS is at or before dts90k (the first one when
    // none is), the audio to its first sample from that key frame's DTS on. Without video,
    // audio goes to its last sample at or before dts90k.
    void Seek(int64_t dts90k);
    // Back to the first samples.
    void Rewind();

    struct Table;                           // a track's sample tables and cursor

private:
    bool ReadMovie(int64_t at, int64_t size, std::string& error);
    bool ParseMovie(const uint8_t* body, std::size_t size, std::string& error);

    int                                 fd_ = -1;
    int64_t                             file_size_ = 0;
    std::vector<Mp4Track>               tracks_;
    std::vector<std::unique_ptr<Table>> tables_;   // beside tracks_
    int64_t                             end90k_ = 0;
};
