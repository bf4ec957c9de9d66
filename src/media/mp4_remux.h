#pragma once
// MP4 files as one transport stream: each file's samples read in decode order, turned into
// what a transport stream carries (Annex B video with the parameter sets before each key
// frame, AAC behind ADTS headers, MP3 and AC-3 as they are) and muxed into 1316-byte blocks.
// One remuxer serves one viewer for a run of files: while the files have the same codecs the
// stream goes on unbroken, its timestamps running on from one file to the next, so that a
// player sees one stream; a file with other codecs starts a new stream on the same PIDs
// (the first packet of each marked as a discontinuity).

#include "media/elementary.h"
#include "media/mp4_reader.h"
#include "media/ts_muxer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Mp4Remuxer {
public:
    explicit Mp4Remuxer(TsMuxer::Output output) : output_(std::move(output)) {}

    // Opens the next file (fd stays the caller's and must stay open while the file plays). False,
    // with a one-line reason, when it cannot be read (fragmented, no track of a codec carried)
    // or its codec configuration is broken.
    [[nodiscard]] bool Open(int fd, std::string& error);
    // How long one pass of the open file plays, in 90 kHz ticks.
    int64_t duration90k() const { return reader_ == nullptr ? 0 : reader_->end90k(); }
    // Starts the open file at the last key frame at or before dts90k of its own time line.
    void Seek(int64_t dts90k) { reader_->Seek(dts90k); }
    // Writes the open file's next sample; false at its end (also a sample that cannot be read,
    // as in a truncated file). Samples the codec conversion refuses are skipped.
    [[nodiscard]] bool WriteNext();
    // After the open file: sends the partial block, and the next file's time line follows on.
    void Finish();
    // Something else went out on the stream (a transport-stream file): the next file starts a
    // new stream, every PID's first packet marked as a discontinuity.
    void Interrupt() { interrupted_ = true; }

private:
    // How the reader's track i goes to the muxer.
    struct Route {
        int         muxer_track = -1;   // -1: dropped
        bool        video = false;
        bool        aac = false;
        VideoConfig video_config;
        AacConfig   aac_config;
    };
    bool Configure(std::string& error);

    TsMuxer::Output            output_;
    std::unique_ptr<Mp4Reader> reader_;
    std::unique_ptr<TsMuxer>   muxer_;
    std::vector<TsCodec>       codecs_;           // the muxer's tracks
    std::vector<Route>         routes_;           // beside the reader's tracks
    bool                       interrupted_ = false;
    bool                       new_time_line_ = false;  // the next sample starts the stream's clock
    bool                       first_sample_ = true;   // of the open file
    int64_t                    offset90k_ = 0;    // added to the open file's timestamps
    int64_t                    next_offset90k_ = 0;
    Mp4Sample                  sample_;
    std::vector<uint8_t>       data_;
    std::vector<uint8_t>       unit_;
};
