#pragma once
// Directory channels played as looping live channels. Every viewer joins where the playlist
// stands now, at the first PAT after that point (in an MP4 file, at the key frame at or before
// that time); the files then follow one another without end, paced by their PCRs, the first
// pacing points at full speed. MP4 files are remuxed into a transport stream on the way, one
// stream running on across them. One implementation for every output: each passes its stop
// test, its send, its framing and the thread name its log lines carry.

#include "channels/channel_table.h"
#include "stream/live_sender.h"
#include "stream/pacing.h"

#include <cstdint>
#include <functional>
#include <sys/types.h>

struct DirectoryViewer {
    const char* thread_name = "";     // "IPTV_TS_HTTP_DataThread", ...
    int         thread_number = 0;
    int         channel_number = 0;   // from 1
    // The PAT search reads 1316-byte chunks and sends the chunk that starts with the PAT;
    // otherwise it reads 188-byte packets and sends the PAT packet alone.
    bool pat_by_chunk = false;
    // "Starting (CH no.[%d], filename=[%s]" names the file; otherwise "Starting (CH no.[%d])".
    bool starting_names_file = true;
    std::function<bool()> stopped;
    // Sends bytes on the viewer's connection; false (errno as the send left it) on failure.
    std::function<bool(const uint8_t*, int)> send;
    // Frames each block as one packet; null sends the bare stream.
    LiveFraming* framing = nullptr;
    // Each file's first PCR and the latest PCR, in seconds.
    std::function<void(double first, double now)> clock;
};

// A directory channel's files as a playlist.
std::vector<PlaylistEntry> DirectoryPlaylist(const ChannelRecord& channel);

// Blocks out through a viewer's framing: bare or framed into the batch on the connection, or
// each sent at once as a datagram; the sleeps between them collected by the batch.
class FramedBatch {
public:
    FramedBatch(std::function<bool(const uint8_t*, int)> send, LiveFraming* framing);
    FramedBatch(const FramedBatch&) = delete;
    FramedBatch& operator=(const FramedBatch&) = delete;
    bool Add(const uint8_t* block, int length);   // one packet of output
    bool AddSleep(int64_t ms);
    bool Flush();
    // After a failed Add or Flush: the send failed (not a stop), with its errno.
    bool send_failed() const { return send_errno_ != 0; }
    int  send_errno() const { return send_errno_; }

private:
    bool Failed();
    LiveFraming*         framing_;
    PacedBatch           batch_;
    std::vector<uint8_t> framed_;
    int                  send_errno_ = 0;
};

// Streams a file from its current offset through batch, a block (1316 bytes, the last of the
// file may be shorter) at a time; pause_after(block, length) gives the sleep in ms that
// follows each block; streamed counts the bytes. The end of the file and a read error are
// logged with thread_name. True at the end of the file or a stop; false when the stream must
// end (a read or send error).
bool StreamFileBlocks(const char* thread_name, const std::function<bool()>& stopped, FramedBatch& batch, int fd,
                      const std::function<int64_t(const uint8_t*, int)>& pause_after, int64_t& streamed);

// Called after each file of a directory channel: once a whole lap of the playlist has given
// nothing (every file emptied, say), the viewer sleeps a second before the next lap instead
// of opening and reading the files in a tight loop.
class EmptyLapGuard {
public:
    explicit EmptyLapGuard(std::size_t files) : files_(files) {}
    void AfterFile(int64_t streamed);

private:
    std::size_t files_;
    std::size_t files_done_ = 0;
    int64_t     lap_bytes_ = 0;
};

// A directory of transport-stream and MP4 files, until the viewer stops or a read, open or
// send fails; each with its log line. An MP4 file that cannot be remuxed (fragmented, no
// track of a codec carried) is logged once and gives nothing, as an empty file does.
void StreamTsDirectory(const ChannelTable& table, const ChannelRecord& channel, const DirectoryViewer& viewer);
