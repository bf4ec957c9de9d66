#pragma once
// HLS over HTTP: the live media playlist "/N/index.m3u8" and its segments "/N/seg-S.ts" cut
// by the channel's segmenter, with the user check, one stream per user and the watch log of
// "/N.ch": a viewing starts with the first playlist request that passes the check and ends
// when its player has asked for nothing for a while, when another stream of the user replaces
// it, or with the segmenter. Its segment addresses carry a token of the viewing, so that a
// segment without one is refused while users are checked.

#include "http/connection.h"
#include "stream/hls_segmenter.h"

#include <cstdint>
#include <string>
#include <string_view>

constexpr uint64_t kHlsViewingIdleMs = 30000;   // a viewing whose player asked nothing for this long ends

struct HlsPath {
    enum Kind { kNone, kPlaylist, kSegment, kArchivePlaylist, kArchiveStream, kArchivePart };
    Kind    kind = kNone;
    int     channel = 0;          // from 1
    int64_t sequence = 0;         // kSegment; the part's number for kArchivePart
    int64_t start = 0;            // archive: unix time of the first second
    int64_t seconds = 0;          // archive: the interval's length
};
// Which HLS address a request path (without its query) names: "/5/index.m3u8",
// "/5/seg-1765324800.ts", "/5/archive-1765324800-3600.m3u8" or ".ts", and the parts of an
// archive playlist "/5/archive-1765324800-3600-part-2.ts". kNone for anything else.
HlsPath ParseHlsPath(std::string_view path);
// The value of key in a query ("a=1&t=ab"), "" without it.
std::string QueryParameter(std::string_view query, std::string_view key);
// The live media playlist of a window; suffix (may be "") ends each segment address.
std::string MediaPlaylistText(const HlsWindow& window, const std::string& suffix);

// Answers the HLS addresses; false for any other request (untouched).
bool ServeHlsRequest(PlayerConnection& conn, const char* request, bool http11);
// The channel (from 1) of an HLS viewing on the player list; 0 for any other connection.
int HlsViewingChannel(const PlayerConnection& conn);
// Viewings now (tests).
int HlsViewingCount();
