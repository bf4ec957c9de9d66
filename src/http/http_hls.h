#pragma once
// HLS over HTTP: the live media playlist "/N/index.m3u8" and its segments "/N/seg-S.ts" cut
// by the channel's segmenter, with the user check, one stream per user and the watch log of
// "/N.ch": a viewing starts with the first playlist request that passes the check and ends
// when its player has asked for nothing for a while, when another stream of the user replaces
// it, or with the segmenter. Its segment addresses carry a token of the viewing, so that a
// segment without one is refused while users are checked.

#include "net/connection.h"
#include "stream/hls_segmenter.h"

#include <algorithm>
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

// Answers the live HLS addresses (playlist and segments); false for any other request
// (untouched). The archive addresses are ServeCatchUpRequest's. in_loop: an event loop's call
// on a non-blocking socket, which never waits for a first segment.
bool ServeHlsRequest(PlayerConnection& conn, const char* request, bool http11, bool in_loop = false);
// Whether an event loop may answer the request for this path (without its query) itself: a
// live playlist without the user check (which may take a while) whose segmenter runs and has a
// segment now. That window is what the loop thread's ServeHlsRequest lists right after.
bool HlsAnswerableInLoop(std::string_view path);
// The channel (from 1) of an HLS viewing on the player list; 0 for any other connection.
int HlsViewingChannel(const PlayerConnection& conn);
// Viewings now (tests).
int HlsViewingCount();
// The clock viewings are aged by (tests); null: the tick count.
void SetHlsViewingClock(uint64_t (*clock)());

constexpr double kArchivePartSeconds = 10.0;   // the length of an archive part
// A catch-up playlist viewing whose player asked for nothing for this long ends; its token
// starts it again for kCatchUpQuietKeepMs after (a player resuming from a pause).
constexpr uint64_t kCatchUpViewingIdleMs = std::max<uint64_t>(static_cast<uint64_t>(3 * kArchivePartSeconds * 1000), 30000);
constexpr uint64_t kCatchUpQuietKeepMs   = 4 * 3600 * 1000;

// The viewings of catch-up playlists, "archive-<start>-<seconds>" of a channel, kept as the
// live ones are (player list, token, watch log), but ended by the HTTP monitor's beat since no
// segmenter runs for them. The token of the caller's viewing of the interval, started now
// when it has none (another stream of the user ends).
std::string CatchUpViewingOf(const PlayerConnection& conn, int channel_number, const std::string& interval);
// True when token names a viewing of the interval, which it keeps alive; one that went quiet
// starts again (a paused player resumes), one that another stream replaced does not.
bool CatchUpTokenAdmits(const std::string& token, int channel_number, const std::string& interval);
// Without the user check: keeps the viewing of client_ip alive (or starts it again).
void TouchCatchUpViewing(const char* client_ip, int channel_number, const std::string& interval);
// Counts a part sent to the viewing of token (with the user check) or of client_ip.
void CountCatchUpSent(const std::string& token, const char* client_ip, int channel_number, const std::string& interval,
                      std::size_t bytes);
// The HTTP monitor's beat: ends the catch-up viewings that went quiet or were replaced;
// final ends them all (the server stops).
void ExpireCatchUpViewings(bool final);
