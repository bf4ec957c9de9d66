#pragma once
// Catch-up by time over a channel's TV-on-demand archive: "/N/archive-<start>-<seconds>.m3u8"
// is a VOD playlist of parts cut from the hourly recordings that cover the interval (each part
// from the PAT at its first second to the PAT at its last), ".ts" the same as one paced stream.
// An interval the archive does not cover is not found. An interval that reaches past what is
// recorded now (its end to come, or beyond the bytes of the file being written) is an EVENT
// playlist of the parts whose bytes are all in the files, which a player polls to follow the
// recording. A playlist viewing is the user's one stream, as "/N.ch" is.

#include "channels/channel_table.h"
#include "http/http_hls.h"
#include "net/connection.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// A recording counts as being written while the recorder marks it; without any mark in the
// folder, the newest one does for this long after its last change.
constexpr int kArchiveWriteQuietSeconds = 10;

// A file's content may begin before its name's minute (a recorder starts each file with what
// its channel's ring holds) or within it (the first file opens at any second). By its last
// change (written as the bytes came) less its span the time of its first PCR is known to the
// second, unless that lies outside these bounds: then the file was copied or touched since,
// and its name is the better guess.
constexpr int kArchiveLeadSeconds = 120;

// One stretch of a recording over which its PCR runs on: the whole file, unless the clock
// started again partway (a source that restarted): then each stretch is one entry, timed by
// the wall clock (the file's start and the stretches before it), not by its own PCRs.
struct ArchiveFile {
    std::string path;
    std::time_t named = 0;          // by its name
    double      start = 0;          // when its first PCR was recorded (unix seconds)
    double      seconds = 0;        // its span by its PCRs
    int64_t     begin = 0;          // where the stretch begins in the file
    int64_t     size = 0;           // the stretch's bytes
    int64_t     first_pcr = -1;     // 27 MHz ticks
    int32_t     kbps = 0;
    std::time_t modified = 0;
    bool        recording = false;  // being written: its last parts may not be whole yet
};
// A channel's recordings, oldest first, each measured and cut into its stretches; empty
// without an archive.
std::vector<ArchiveFile> ChannelArchive(const ChannelRecord& channel);

struct ArchivePart {
    std::size_t file = 0;           // index into the files
    double      from = 0;           // seconds into the file
    double      to = 0;
    bool        discontinuity = false;   // the first part of a file after another
};
// When a file's first PCR was recorded: modified (its last change, unix seconds) less its
// span when that lies within the bounds its name allows, else its name's time.
double ArchiveContentStart(std::time_t named, double modified, double span);
// The parts (at most kArchivePartSeconds each) of [start, start + seconds) that files cover.
std::vector<ArchivePart> ArchiveParts(const std::vector<ArchiveFile>& files, int64_t start, int64_t seconds);
// True when [start, start + seconds) reaches past what files hold now: its end comes after now,
// or after the recorded end of a file that is being written.
bool ArchiveStillRecorded(const std::vector<ArchiveFile>& files, int64_t start, int64_t seconds, std::time_t now);
// The playlist of the parts; name is "archive-<start>-<seconds>", suffix ends each address.
// A VOD playlist with its end, or with event an EVENT one without it (more parts to come).
std::string ArchivePlaylistText(const std::vector<ArchivePart>& parts, const std::string& name, const std::string& suffix,
                                bool event = false);

// Answers the archive addresses of ParseHlsPath; false for any other request (untouched).
bool ServeCatchUpRequest(PlayerConnection& conn, const char* request, bool http11);
