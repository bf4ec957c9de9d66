#include "http/http_hls.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/query.h"
#include "core/sockets.h"
#include "core/text.h"
#include "http/http_access.h"
#include "http/http_playlist.h"
#include "users/channel_packages.h"
#include "users/usage_log.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

namespace {

constexpr int kFirstSegmentWaitMs = 20000;       // a playlist request waits this long for a first segment
constexpr int kSegmentMaxAge      = 600;         // seconds a cache may keep a segment

// One player watching a channel over HLS. On the player list, as a "/N.ch" viewer is, so that
// one-stream-per-user finds it and stops it (its stop flag): its next request is refused.
struct HlsViewing : PlayerConnection {
    int                   channel_number = 0;
    std::string           who;                   // the user, or the address without the user check
    std::string           token;
    std::string           interval;              // a catch-up viewing's "archive-<start>-<seconds>"; "" live
    std::atomic<uint64_t> last_seen_ms{0};
    // A catch-up viewing whose player went quiet: ended (watch log, player list) but kept for
    // a while, so that its token starts it again. Guarded by the viewings lock.
    bool                  quiet = false;
    uint64_t              quiet_since_ms = 0;
};

struct Viewings {
    std::mutex                                lock;   // taken before the player list's; never around a segmenter call
    std::vector<std::unique_ptr<HlsViewing>> list;
};
Viewings& AllViewings()
{
    static auto* viewings = new Viewings;    // never destroyed: segmenters may end after main's statics
    return *viewings;
}

std::atomic<uint64_t (*)()> g_viewing_clock{GetTickMs};

// The window an event loop's HlsAnswerableInLoop found, for the answer the same loop thread
// gives right after: what was checked is what is listed.
struct LoopWindow {
    int       channel = 0;
    HlsWindow window;
};
thread_local LoopWindow t_loop_window;

// Read under the viewings lock, so that no touch stores a later time than an expiry pass's now.
uint64_t ViewingNow() { return g_viewing_clock.load()(); }

std::string NewToken()
{
    std::random_device source;
    char text[33];
    FormatText(text, "%08x%08x%08x%08x", source(), source(), source(), source());
    return text;
}

// Starts a viewing, or starts a quiet one again: it ends the user's other stream, joins the
// player list, and the watch log has its start. The caller holds the viewings lock.
void StartViewing(HlsViewing& viewing)
{
    const uint64_t now = ViewingNow();
    viewing.last_seen_ms.store(now);
    viewing.cmd_start_tick.store(now);
    viewing.quiet = false;
    if (g_config.user_authorization && std::strcmp(viewing.user_name, "root") != 0) DiscardPreviousConnection(viewing);
    JoinPlayerList(viewing);
    LogSystemMessage("User [%s] watchs CH[%d]\n", viewing.user_name, viewing.channel_number);
    LogChannelStart(viewing.who.c_str(), viewing.channel_number, viewing.player_time, sizeof viewing.player_time);
}

// Ends a viewing: its watch log entry, off the player list. The caller holds the viewings lock.
void EndViewing(HlsViewing& viewing)
{
    LogChannelEnd(viewing.who.c_str(), viewing.channel_number);
    LeavePlayerList(viewing);
    LogSystemMessage("HLS viewing of [%s] on CH[%d] ends\n", viewing.who.c_str(), viewing.channel_number);
}

// Keeps a running viewing alive; a quiet one starts again. The caller holds the viewings lock.
void Touch(HlsViewing& viewing)
{
    if (viewing.quiet) StartViewing(viewing);
    else viewing.last_seen_ms.store(ViewingNow());
}

// The segmenter's beat: ends the channel's live viewings that have gone quiet or were
// replaced (all of them once the segmenter ends).
void ExpireViewings(int channel_number, bool final)
{
    Viewings& viewings = AllViewings();
    std::lock_guard<std::mutex> held(viewings.lock);
    const uint64_t now = ViewingNow();
    auto& list = viewings.list;
    for (auto at = list.begin(); at != list.end();) {
        HlsViewing& viewing = **at;
        const bool over = final || viewing.stop.load() != 0 || TickAgeMs(now, viewing.last_seen_ms.load()) > kHlsViewingIdleMs;
        if (viewing.channel_number != channel_number || !viewing.interval.empty() || !over) {
            ++at;
            continue;
        }
        EndViewing(viewing);
        at = list.erase(at);
    }
}

// The viewing of the channel's live window or interval that match accepts and no other stream
// replaced; null when there is none. The caller holds the viewings lock.
template <class Match>
HlsViewing* RunningViewing(Viewings& viewings, int channel_number, const std::string& interval, Match match)
{
    for (const auto& viewing : viewings.list)
        if (viewing->channel_number == channel_number && viewing->interval == interval && viewing->stop.load() == 0 &&
            match(*viewing))
            return viewing.get();
    return nullptr;
}

// The token of the caller's viewing of the channel (live, or of a catch-up interval), started
// now when it has none. Another stream of the same user ends, as it would for "/N.ch".
std::string ViewingOf(const PlayerConnection& conn, int channel_number, const std::string& interval)
{
    const std::string who = g_config.user_authorization ? conn.user_name : conn.client_ip;
    Viewings& viewings = AllViewings();
    std::lock_guard<std::mutex> held(viewings.lock);
    if (HlsViewing* running = RunningViewing(viewings, channel_number, interval,
                                             [&](const HlsViewing& viewing) { return viewing.who == who; })) {
        Touch(*running);
        return running->token;
    }
    // A user's new viewing replaces the viewings of that user kept quiet, as it would a running one.
    std::erase_if(viewings.list, [&](const auto& kept) { return kept->quiet && kept->who == who; });
    auto viewing = std::make_unique<HlsViewing>();
    viewing->channel_number = channel_number;
    viewing->who = who;
    viewing->token = NewToken();
    viewing->interval = interval;
    CopyText(viewing->client_ip, conn.client_ip);
    CopyText(viewing->group, "HLS");
    if (g_config.user_authorization) {
        CopyText(viewing->user_name, conn.user_name);
        CopyText(viewing->mac_id, conn.user_name);
    }
    FormatText(viewing->path, "/%d/%s.m3u8", channel_number, interval.empty() ? "index" : interval.c_str());
    StartViewing(*viewing);
    const std::string token = viewing->token;
    viewings.list.push_back(std::move(viewing));
    return token;
}

// True when token names a viewing of the channel's live window or interval that no other
// stream replaced (which it keeps alive), of a user whose packages still hold the channel.
bool TokenAdmits(const std::string& token, int channel_number, const std::string& interval)
{
    if (token.empty()) return false;
    const std::shared_ptr<const PackageTable> packages = CurrentPackages();
    Viewings& viewings = AllViewings();
    std::lock_guard<std::mutex> held(viewings.lock);
    HlsViewing* running = RunningViewing(viewings, channel_number, interval, [&](const HlsViewing& viewing) {
        return viewing.token == token && packages->MayWatch(viewing.user_name, channel_number);
    });
    if (running != nullptr) Touch(*running);
    return running != nullptr;
}

// Counts a segment sent to the viewing of token (with the user check) or of client_ip.
void CountViewingSent(const std::string& token, const char* client_ip, int channel_number, const std::string& interval,
                      std::size_t bytes)
{
    Viewings& viewings = AllViewings();
    std::lock_guard<std::mutex> held(viewings.lock);
    for (const auto& viewing : viewings.list) {
        if (viewing->channel_number != channel_number || viewing->interval != interval) continue;
        if (g_config.user_authorization ? viewing->token == token : viewing->who == client_ip) {
            CountSent(&viewing->bytes_sent, nullptr, bytes);
            return;
        }
    }
}

// Without the user check the caller's viewing is kept alive by its segment requests too.
void TouchViewingOf(const char* client_ip, int channel_number, const std::string& interval)
{
    Viewings& viewings = AllViewings();
    std::lock_guard<std::mutex> held(viewings.lock);
    for (const auto& viewing : viewings.list)
        if (viewing->channel_number == channel_number && viewing->interval == interval && viewing->who == client_ip &&
            viewing->stop.load() == 0)
            Touch(*viewing);
}

// Digits of text from at; the value, with at moved past them (-1 without any).
int64_t Digits(std::string_view text, std::size_t& at)
{
    int64_t value = -1;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (value > (INT64_MAX - 9) / 10) return -1;
        value = (value < 0 ? 0 : value * 10) + (text[at] - '0');
        ++at;
    }
    return value;
}

// "\"first-second\"".
std::string Etag(int64_t first, int64_t second)
{
    char text[48];
    FormatText(text, "\"%" PRId64 "-%" PRId64 "\"", first, second);
    return text;
}

void Send(PlayerConnection& conn, const std::string& answer, const char* what)
{
    if (!SendConnectionText(conn, answer)) LogSystemMessage("HLS: the %s was not sent\n", what);
}

void ServeLivePlaylist(PlayerConnection& conn, const char* request, bool http11, std::string_view target, int channel_number,
                       bool in_loop)
{
    LogSystemMessage("Request HLS Channel =[%.*s]\n", static_cast<int>(target.size()), target.data());
    TakeRequestCredentials(conn, request, target.data() + std::min(target.find('?'), target.size()), true);
    if (g_config.user_authorization) {
        std::string refusal;
        if (!CheckCredentials(conn, refusal) || !CheckChannelAccess(conn, channel_number, refusal)) {
            Send(conn, refusal, "refusal");
            return;
        }
        LogSystemMessage("User [%s], Password[%s] login successfully\n", conn.user_name, conn.password);
    }
    SetHlsBeat(ExpireViewings);
    HlsWindow window;
    bool ready = false;
    if (in_loop) {
        // The loop's check found the window and held the segmenter off its idle stop; a loop
        // neither starts a segmenter nor waits for one.
        ready = t_loop_window.channel == channel_number;
        if (ready) window = std::move(t_loop_window.window);
        t_loop_window = LoopWindow();
    } else if (!TouchHlsChannel(channel_number)) {
        LogSystemMessage("HLS: CH[%d] cannot be cut into segments\n", channel_number);
        Send(conn, kNotFoundAnswer, "answer");
        return;
    }
    const std::string token = ViewingOf(conn, channel_number, "");
    if (!in_loop) ready = HlsWindowOf(channel_number, kFirstSegmentWaitMs, window);
    if (!ready) {
        Send(conn, AnswerHead(http11, "503 Service Unavailable", "Retry-After: 2\r\n", 0), "answer");
        return;
    }
    const std::string suffix = g_config.user_authorization ? "?t=" + token : "";
    const HlsSegment& newest = window.segments.back();
    const std::string etag = Etag(window.media_sequence, newest.sequence);
    const std::string headers = CacheHeaders(std::max(1, window.target_duration / 2), etag, newest.made);
    const std::string unchanged = NotModified(request, http11, etag, newest.made, headers);
    if (!unchanged.empty()) {
        Send(conn, unchanged, "answer");
        return;
    }
    const std::string body = MediaPlaylistText(window, suffix);
    // A loop ends the connection right after the answer: both leave in one segment.
    if (in_loop) SetCork(conn.socket.load(), true);
    Send(conn, AnswerHead(http11, "200 OK", "Content-Type: application/vnd.apple.mpegurl\r\n" + headers, body.size()) + body,
         "playlist");
}

void ServeLiveSegment(PlayerConnection& conn, const char* request, bool http11, std::string_view query, const HlsPath& path)
{
    LogSystemMessage("Request HLS Segment =[/%d/seg-%" PRId64 ".ts]\n", path.channel, path.sequence);
    if (g_config.user_authorization) {
        if (!TokenAdmits(QueryParameter(query, "t"), path.channel, "")) {
            LogSystemMessage("HLS: CH[%d] segment without a running viewing refused\n", path.channel);
            Send(conn, kHttpUserError, "refusal");
            return;
        }
    } else {
        TouchViewingOf(conn.client_ip, path.channel, "");
    }
    HlsSegment segment;
    if (!HlsSegmentOf(path.channel, path.sequence, segment)) {
        Send(conn, kNotFoundAnswer, "answer");
        return;
    }
    const std::string etag = Etag(path.channel, segment.sequence);
    const std::string headers = CacheHeaders(kSegmentMaxAge, etag, segment.made);
    const std::string unchanged = NotModified(request, http11, etag, segment.made, headers);
    if (!unchanged.empty()) {
        Send(conn, unchanged, "answer");
        return;
    }
    const std::string head = AnswerHead(http11, "200 OK", "Content-Type: video/mp2t\r\n" + headers, segment.data->size());
    if (!SendConnectionText(conn, head) || !SendConnectionText(conn, *segment.data)) {
        LogSystemMessage("HLS: the segment was not sent\n");
        return;
    }
    CountSent(nullptr, conn.stats, segment.data->size());
    CountViewingSent(QueryParameter(query, "t"), conn.client_ip, path.channel, "", segment.data->size());
}

}  // namespace

HlsPath ParseHlsPath(std::string_view path)
{
    HlsPath parsed;
    std::size_t at = 1;
    if (path.empty() || path[0] != '/') return parsed;
    const int64_t channel = Digits(path, at);
    if (channel < 1 || channel > kMaxChannels || at >= path.size() || path[at] != '/') return parsed;
    ++at;
    const std::string_view rest = path.substr(at);
    parsed.channel = static_cast<int>(channel);
    if (rest == "index.m3u8") {
        parsed.kind = HlsPath::kPlaylist;
        return parsed;
    }
    if (rest.rfind("seg-", 0) == 0) {
        std::size_t pos = 4;
        const int64_t sequence = Digits(rest, pos);
        if (sequence >= 0 && rest.substr(pos) == ".ts") {
            parsed.kind = HlsPath::kSegment;
            parsed.sequence = sequence;
        }
        return parsed;
    }
    if (rest.rfind("archive-", 0) == 0) {
        std::size_t pos = 8;
        const int64_t start = Digits(rest, pos);
        if (start < 0 || pos >= rest.size() || rest[pos] != '-') return parsed;
        ++pos;
        const int64_t seconds = Digits(rest, pos);
        if (seconds <= 0) return parsed;
        parsed.start = start;
        parsed.seconds = seconds;
        const std::string_view tail = rest.substr(pos);
        if (tail == ".m3u8") {
            parsed.kind = HlsPath::kArchivePlaylist;
        } else if (tail == ".ts") {
            parsed.kind = HlsPath::kArchiveStream;
        } else if (tail.rfind("-part-", 0) == 0) {
            std::size_t part_at = 6;
            const int64_t part = Digits(tail, part_at);
            if (part >= 0 && tail.substr(part_at) == ".ts") {
                parsed.kind = HlsPath::kArchivePart;
                parsed.sequence = part;
            }
        }
    }
    return parsed;
}

std::string QueryParameter(std::string_view query, std::string_view key)
{
    std::string_view value;
    return FindQueryValue(query, key, value) ? std::string(value) : std::string();
}

std::string MediaPlaylistText(const HlsWindow& window, const std::string& suffix)
{
    std::string text = "#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-TARGETDURATION:" + std::to_string(window.target_duration) +
                       "\r\n#EXT-X-MEDIA-SEQUENCE:" + std::to_string(window.media_sequence) + "\r\n";
    if (window.discontinuity_sequence > 0)
        text += "#EXT-X-DISCONTINUITY-SEQUENCE:" + std::to_string(window.discontinuity_sequence) + "\r\n";
    for (const HlsSegment& segment : window.segments) {
        if (segment.discontinuity) text += "#EXT-X-DISCONTINUITY\r\n";
        char line[48];
        FormatText(line, "#EXTINF:%.3f,\r\n", segment.duration);
        text += line;
        text += "seg-" + std::to_string(segment.sequence) + ".ts" + suffix + "\r\n";
    }
    return text;
}

bool ServeHlsRequest(PlayerConnection& conn, const char* request, bool http11, bool in_loop)
{
    const std::string_view target = RequestTarget(request);
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    const HlsPath parsed = ParseHlsPath(path);
    switch (parsed.kind) {
    case HlsPath::kPlaylist: ServeLivePlaylist(conn, request, http11, target, parsed.channel, in_loop); return true;
    case HlsPath::kSegment: ServeLiveSegment(conn, request, http11, query, parsed); return true;
    default: return false;
    }
}

bool HlsAnswerableInLoop(std::string_view path)
{
    const HlsPath parsed = ParseHlsPath(path);
    t_loop_window = LoopWindow();
    if (parsed.kind != HlsPath::kPlaylist || g_config.user_authorization ||
        !HlsRunningWindowOf(parsed.channel, t_loop_window.window))
        return false;
    t_loop_window.channel = parsed.channel;
    return true;
}

int HlsViewingChannel(const PlayerConnection& conn)
{
    const auto* viewing = dynamic_cast<const HlsViewing*>(&conn);
    return viewing != nullptr ? viewing->channel_number : 0;
}

int HlsViewingCount()
{
    Viewings& viewings = AllViewings();
    std::lock_guard<std::mutex> held(viewings.lock);
    return static_cast<int>(std::count_if(viewings.list.begin(), viewings.list.end(), [](const auto& viewing) { return !viewing->quiet; }));
}

void SetHlsViewingClock(uint64_t (*clock)()) { g_viewing_clock.store(clock != nullptr ? clock : GetTickMs); }

std::string CatchUpViewingOf(const PlayerConnection& conn, int channel_number, const std::string& interval)
{
    return ViewingOf(conn, channel_number, interval);
}

bool CatchUpTokenAdmits(const std::string& token, int channel_number, const std::string& interval)
{
    return TokenAdmits(token, channel_number, interval);
}

void TouchCatchUpViewing(const char* client_ip, int channel_number, const std::string& interval)
{
    TouchViewingOf(client_ip, channel_number, interval);
}

void CountCatchUpSent(const std::string& token, const char* client_ip, int channel_number, const std::string& interval,
                      std::size_t bytes)
{
    CountViewingSent(token, client_ip, channel_number, interval, bytes);
}

void ExpireCatchUpViewings(bool final)
{
    Viewings& viewings = AllViewings();
    std::lock_guard<std::mutex> held(viewings.lock);
    const uint64_t now = ViewingNow();
    auto& list = viewings.list;
    for (auto at = list.begin(); at != list.end();) {
        HlsViewing& viewing = **at;
        if (viewing.interval.empty()) {
            ++at;
            continue;
        }
        if (viewing.quiet) {
            if (final || TickAgeMs(now, viewing.quiet_since_ms) > kCatchUpQuietKeepMs) at = list.erase(at);
            else ++at;
            continue;
        }
        const bool replaced = viewing.stop.load() != 0;
        if (!final && !replaced && TickAgeMs(now, viewing.last_seen_ms.load()) <= kCatchUpViewingIdleMs) {
            ++at;
            continue;
        }
        EndViewing(viewing);
        // Without the user check a part needs no token, so there is nothing to keep.
        if (final || replaced || !g_config.user_authorization) {
            at = list.erase(at);
        } else {
            viewing.quiet = true;
            viewing.quiet_since_ms = now;
            ++at;
        }
    }
}
