#pragma once
// Catch-up by time over a channel's TV-on-demand archive: "/N/archive-<start>-<seconds>.m3u8"
// is a VOD playlist of parts cut from the hourly recordings that cover the interval (each part
// from the PAT at its first second to the PAT at its last), ".ts" the same as one paced stream.
// An interval the archive does not cover is not found.

#include "channels/channel_table.h"
#include "http/connection.h"
#include "http/http_hls.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

constexpr double kArchivePartSeconds = 10.0;

struct ArchiveFile {
    std::string path;
    std::time_t start = 0;          // by its name
    double      seconds = 0;        // its span by its PCRs
    int64_t     size = 0;
    int64_t     first_pcr = -1;     // 27 MHz ticks
    int32_t     kbps = 0;
    std::time_t modified = 0;
};
// A channel's recordings, oldest first, each measured; empty without an archive.
std::vector<ArchiveFile> ChannelArchive(const ChannelRecord& channel);

struct ArchivePart {
    std::size_t file = 0;           // index into the files
    double      from = 0;           // seconds into the file
    double      to = 0;
    bool        discontinuity = false;   // the first part of a file after another
};
// The parts (at most kArchivePartSeconds each) of [start, start + seconds) that files cover.
std::vector<ArchivePart> ArchiveParts(const std::vector<ArchiveFile>& files, int64_t start, int64_t seconds);
// The VOD playlist of the parts; name is "archive-<start>-<seconds>", suffix ends each address.
std::string ArchivePlaylistText(const std::vector<ArchivePart>& parts, const std::string& name, const std::string& suffix);

// Answers the archive addresses of ParseHlsPath.
void ServeCatchUp(PlayerConnection& conn, const char* request, bool http11, std::string_view target, const HlsPath& path);
