#include "http/http_request.h"

#include "channels/channel_table.h"
#include "core/base64.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/service_stats.h"
#include "core/sockets.h"
#include "core/text.h"
#include "core/threads.h"
#include "http/http_catchup.h"
#include "http/http_cgi.h"
#include "http/http_file_stream.h"
#include "http/http_hls.h"
#include "http/http_live.h"
#include "http/http_playlist.h"
#include "http/http_service.h"
#include "media/probe.h"
#include "media/served_file.h"
#include "users/credentials.h"
#include "users/usage_log.h"
#include "users/user_db.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

RestHandler g_token_rest_handler  = nullptr;
RestHandler g_player_rest_handler = nullptr;
RestHandler g_server_rest_handler = nullptr;
HttpRouteHook g_metrics_route     = nullptr;
bool (*g_metrics_claims)(const char*) = nullptr;

static constexpr std::size_t kRequestSize = kHttpRequestSize;
static constexpr std::size_t kPathLimit   = 511;
static constexpr std::size_t kHeaderSize  = 1024;
static constexpr uint64_t    kHeadWaitMs  = 10000;

static const char kBadRequest[]    = "HTTP/1.0 400 Bad Request\r\n\r\n";
static const char kUriTooLong[]    = "HTTP/1.0 414 Request-URI Too Long\r\n\r\n";
static const char kBadVersion[]    = "HTTP/1.0 505 HTTP Version Not Supported\r\n\r\n";
static const char kTrackText[]     = "Track element: kind=\"main\",label/type=\"video/mp2t track-description\"";
static const char kMetadataText[]  = "kind=metadata,label/type='mpeg2ts;pmt=\"0x12c\"'";

static const ExtensionEntry kExtensions[] = {
    {".htm", "text/html;charset=big5\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".xml", "text/xml;charset=big5\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".XML", "text/xml;charset=big5\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".png", "image/png\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".PNG", "image/png\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".asf", "application/vnd.ms.wms-hdr.asfv1\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".ASF", "application/vnd.ms.wms-hdr.asfv1\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".asx", "video/x-ms-asf\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".ASX", "video/x-ms-asf\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".xap", "video/x-ms-asf\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".XAP", "video/x-ms-asf\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".ppt", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".pps", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".pot", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".ppz", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".PPT", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".PPS", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".POT", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".PPZ", "application/mspowerpoint\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".doc", "application/msword\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".DOC", "application/msword\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".jpg", "image/jpeg\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".JPG", "image/jpeg\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".gif", "image/gif\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".GIF", "image/gif\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".mp3", "audio/mp3\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".MP3", "audio/mp3\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".ac3", "audio/ac3\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".AC3", "audio/ac3\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".3gp", "video/mp4\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".3GP", "video/mp4\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".3g2", "video/mp4\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".3G2", "video/mp4\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".mp4", "video/mp4\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".MP4", "video/mp4\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".mpg", "video/mpg\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".MPG", "video/mpg\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".mov", "video/quicktime\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".MOV", "video/quicktime\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".mpeg", "video/mpg\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".MPEG", "video/mpg\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".avi", "video/avi\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".AVI", "video/avi\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".wmv", "video/x-ms-wmv\r\n\r\n", kHttpMediaFile, kParamsQueryOnly},
    {".WMV", "video/x-ms-wmv\r\n\r\n", kHttpMediaFile, kParamsQueryOnly},
    {".wma", "audio/wma\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".WMA", "audio/wma\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".bin", "update/bin\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".BIN", "update/bin\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".ico", "image/x-icon\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".ICO", "image/x-icon\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".mls", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".MLS", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".m3u8", "application/vnd.apple.mpegurl\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".M3U8", "application/vnd.apple.mpegurl\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".m3u", "audio/mpegurl\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".M3U", "audio/mpegurl\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".txt", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".TXT", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".css", "text/css\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".CSS", "text/css\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".ts", "video/mp2t\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".TS", "video/mp2t\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".c4", "video/mp2t\r\n\r\n", kHttpLiveTrack, kParamsAny},
    {".C4", "video/mp2t\r\n\r\n", kHttpLiveTrack, kParamsAny},
    {".ch", "video/mp2t\r\n\r\n", kHttpLive, kParamsAny},
    {".CH", "video/mp2t\r\n\r\n", kHttpLive, kParamsAny},
    {".mv", "video/quicktime\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".MV", "video/quicktime\r\n\r\n", kHttpTimedMedia, kParamsAny},
    {".js", "text/JavaScript\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".JS", "text/JavaScript\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".vob", "text/html\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".VOB", "text/html\r\n\r\n", kHttpMediaFile, kParamsAny},
    {".pdf", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".PDF", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".zip", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".ZIP", "text/plain\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".swf", "application/x-shockwave-flash\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".SWF", "application/x-shockwave-flash\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".flv", "video/x-flv\r\n\r\n", kHttpPlainFile, kParamsNone},
    {".FLV", "video/x-flv\r\n\r\n", kHttpPlainFile, kParamsNone},
};

const ExtensionEntry* MatchExtensionAt(const char* text)
{
    if (text[0] != '.') return nullptr;
    for (const ExtensionEntry& entry : kExtensions)
        if (std::strncmp(text, entry.extension, std::strlen(entry.extension)) == 0) return &entry;
    return nullptr;
}

namespace {

using Request = HttpRequestHead;

CriticalSection g_http_file_open_lock;
CriticalSection g_http_file_status_lock;

// Reads the head until "\r\n\r\n". 1 complete, 0 nothing usable (connection ends
// silently), -1 too long for the buffer, -2 begun but not finished in time. The whole head
// has 10 seconds from the start of the connection ("http_request_time_limit" when shorter): a
// client trickling a byte at a time cannot hold the connection longer.
int ReadHead(PlayerConnection& conn, Request& request)
{
    const int number = ThreadNumber();
    const uint64_t deadline_ms = conn.cmd_start_tick.load() + HttpHeadWaitMs();
    while (g_http_stop_state.load() == 0) {
        const int fd = conn.socket.load();
        const uint64_t now = GetTickMs();
        const int wait_ms = now >= deadline_ms ? 0 : static_cast<int>(deadline_ms - now);
        if (wait_ms == 0 || PollOne(fd, POLLIN, wait_ms) <= 0) {
            if (request.length > 0 && GetTickMs() >= deadline_ms) {
                LogSystemMessage("*** HTTPCmdThread [%d]  request head not complete in time\n", number);
                return -2;
            }
            LogSystemMessage("*** HTTPCmdThread [%d]  TCP Connection without HTTP command\n", number);
            return 0;
        }
        const ssize_t got = ReceiveBytes(fd, request.text + request.length, kRequestSize - request.length, 0);
        if (got <= 0) return 0;
        request.length += static_cast<std::size_t>(got);
        request.text[request.length] = '\0';
        if (std::strstr(request.text, "\r\n\r\n") != nullptr) return 1;
        if (request.length >= kRequestSize) return -1;
    }
    return 0;
}

constexpr int kHeadPending = 2;

// Takes what has arrived of the head on a non-blocking socket: as ReadHead, or kHeadPending
// when the rest is still to come.
int ReceiveHeadPart(PlayerConnection& conn, Request& request)
{
    const int fd = conn.socket.load();
    for (;;) {
        const ssize_t got = ReceiveBytes(fd, request.text + request.length, kRequestSize - request.length, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kHeadPending;
        if (got <= 0) return 0;
        request.length += static_cast<std::size_t>(got);
        request.text[request.length] = '\0';
        if (std::strstr(request.text, "\r\n\r\n") != nullptr) return 1;
        if (request.length >= kRequestSize) return -1;
    }
}

void RunRest(PlayerConnection& conn, Request& request, RestHandler handler, const char* prefix, bool client_form,
             const char* get_log, const char* finished_log)
{
    LogSystemMessage(get_log, request.text);
    char* after = (client_form ? request.text + 13 : request.text + 4) + std::strlen(prefix);
    if (!client_form) {
        // The handler sees the request line end right after its parameters.
        char* version = std::strstr(request.text, "HTTP/");
        if (version != nullptr && version > request.text && version[-1] == ' ') {
            version[-1] = '\r';
            version[0]  = '\n';
        }
    }
    if (handler != nullptr) handler(conn, after);
    LogSystemMessage(finished_log, request.text);
}

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

struct RestRoute {
    const char*  prefix;
    RestHandler* handler;          // installed at start-up
    const char*  get_log;
    const char*  finished_log;
};

// The REST route of a request (client_form: it is written in the client form), or null.
const RestRoute* FindRestRoute(const Request& request, bool& client_form)
{
    static const RestRoute routes[] = {
        {"/token/", &g_token_rest_handler, "Get Player RSET API=[%s]\n", "Finished Token RSET API=[%s]\n"},
        {"/player/", &g_player_rest_handler, "Get Player RSET API=[%s]\n", "Finished Player RSET API=[%s]\n"},
        {"/quorvane/", &g_server_rest_handler, "Get Server RSET API=[%s]\n", "Finished Server RSET API=[%s]\n"},
    };
    const bool client = StartsWith(request.text + 4, "HTTP/1.1 ");
    for (const RestRoute& route : routes) {
        client_form = client && StartsWith(request.text + 13, route.prefix);
        if (client_form || StartsWith(request.text + 4, route.prefix)) return &route;
    }
    return nullptr;
}

// True when the REST prefixes route the request (the connection then ends).
bool RouteRest(PlayerConnection& conn, Request& request)
{
    bool client_form = false;
    const RestRoute* route = FindRestRoute(request, client_form);
    if (route == nullptr) return false;
    RunRest(conn, request, *route->handler, route->prefix, client_form, route->get_log, route->finished_log);
    return true;
}

}  // namespace

namespace {

int64_t ParseNumber(const char* begin, const char* end)
{
    int64_t value = 0;
    for (const char* at = begin; at < end && *at >= '0' && *at <= '9'; ++at) {
        if (value > (INT64_MAX - 9) / 10) return INT64_MAX;
        value = value * 10 + (*at - '0');
    }
    return value;
}

}  // namespace

ByteRange ParseByteRange(const char* value, int64_t file_size)
{
    ByteRange range;
    const char* line_end = std::strstr(value, "\r\n");
    if (line_end == nullptr) line_end = value + std::strlen(value);
    const char* dash = static_cast<const char*>(std::memchr(value, '-', static_cast<std::size_t>(line_end - value)));
    range.suffix   = dash == value;
    range.has_last = dash != nullptr && dash + 1 < line_end;
    range.last     = range.has_last ? ParseNumber(dash + 1, line_end) : file_size - 1;
    range.start    = ParseNumber(value, dash != nullptr ? dash : line_end);
    range.end      = file_size;
    if (range.suffix && range.has_last) {                          // "-500": the last 500 bytes
        range.start = range.last >= file_size ? 0 : file_size - range.last;
    } else if (range.has_last) {
        range.end = range.last < file_size - 1 ? range.last + 1 : file_size;   // never past the file, never overflowing
    }
    return range;
}

// Opens the file of a request into conn (its size and a whole-file span). False when it is
// not there or may not be served: header then holds the 404 answer and the stop flag is set.
static bool OpenRequestedFile(PlayerConnection& conn, const std::string& path, const std::string& full_name,
                              std::string& header)
{
    LogSystemMessage("Open File Name =[%s]\n", full_name.c_str());
    ServedFile file;
    {
        ScopedLock held(g_http_file_open_lock);
        file = OpenServedFile(g_server_base_dir, path);
    }
    CopyText(conn.path, full_name);
    if (file.outcome != ServedFileOutcome::kOpened) {
        header = kNotFoundAnswer;
        conn.stop.store(1);
        if (file.outcome == ServedFileOutcome::kForbidden)
            LogSystemMessage("System Warning : System file : [%s] can not be accessed\n", path.c_str() + 1);
        else
            LogSystemMessage("[%s] File not Found\n", full_name.c_str());
        return false;
    }
    conn.file = file.fd;
    {
        ScopedLock held(g_http_file_status_lock);
        LogSystemMessage("Request File Name =[%s]\n", full_name.c_str());
        conn.file_size   = file.size;
        conn.current_pos = 0;
        conn.end_pos     = conn.file_size;
    }
    return true;
}

// A "Range: bytes=" header after the path narrows conn's span to it (status becomes
// "206 OK"). False when nothing of the file lies in the range: header then holds the 416
// answer and the stop flag is set.
static bool TakeRange(PlayerConnection& conn, const char* version, const char* after_extension, const char*& status,
                      std::string& header)
{
    const char* range = std::strstr(after_extension, "Range: bytes=");
    if (range != nullptr) {
        const ByteRange parsed = ParseByteRange(range + std::strlen("Range: bytes="), conn.file_size);
        const int64_t start = parsed.start;
        const int64_t end   = parsed.end;
        LogSystemMessage("Range1=[%" PRId64 "]\n", start);
        if (parsed.has_last && !parsed.suffix) LogSystemMessage("Range2=[%" PRId64 "]\n", parsed.last);
        else LogSystemMessage("Only Range1, so Range2=[%" PRId64 "]\n", conn.file_size - 1);
        if (start >= conn.file_size || end <= start) {
            // Nothing of the file lies in the range.
            char answer[kHeaderSize];
            FormatText(answer,
                       "%s 416 Requested Range Not Satisfiable\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\n"
                       "Content-Range: bytes */%" PRId64 "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                       version, conn.file_size);
            header = answer;
            conn.stop.store(1);
            return false;
        }
        conn.current_pos = start;
        conn.end_pos     = end;
        status = "206 OK";
    }
    return true;
}

// Answers a file request (kinds 0, 1, 3). Returns false when the user check refused it (no
// data thread); header receives the answer to send.
static bool AnswerFile(PlayerConnection& conn, const Request& request, const ExtensionEntry& entry,
                       const char* after_extension, const std::string& path, std::string& header)
{
    if ((entry.kind == kHttpMediaFile || entry.kind == kHttpTimedMedia) && g_config.user_authorization) {
        if (!CheckCredentials(conn, header) || !CheckStoredFileAccess(conn, path, header)) return false;
        LogSystemMessage("User [%s], Password[%s] login successfully\n", conn.user_name, conn.password);
    }
    const std::string full_name = ServedFileName(g_server_base_dir, path);
    if (!OpenRequestedFile(conn, path, full_name, header)) return true;
    const char* version = request.http11 ? "HTTP/1.1" : "HTTP/1.0";
    const char* status  = "200 OK";
    if (!TakeRange(conn, version, after_extension, status, header)) return true;

    char answer[kHeaderSize];
    std::size_t length = FormatText(answer,
                                    "%s %s\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nContent-Length: %" PRId64
                                    "\r\nContent-Range: bytes %" PRId64 "-%" PRId64 "/%" PRId64 "\r\nConnection: %s\r\n",
                                    version, status, conn.end_pos - conn.current_pos, conn.current_pos, conn.end_pos - 1,
                                    conn.file_size, request.http11 ? "Keep-Alive" : "close");
    if (entry.kind == kHttpTimedMedia) {
        conn.duration = static_cast<float>(mp4_duration_seconds(full_name.c_str()));
        char duration[64];
        FormatText(duration, "Content-Duration: %f\r\n", static_cast<double>(conn.duration));
        header.assign(answer, length).append(duration);
    } else {
        header.assign(answer, length);
    }
    header.append("Content-Type: ").append(entry.content_type);
    LogSystemMessage("Response data=[%s]\n", header.c_str());
    return true;
}

// Answers a live channel request (kinds 2, 4). False when the user check refused it.
static bool AnswerLive(PlayerConnection& conn, const Request& request, const ExtensionEntry& entry, std::string& header)
{
    LogSystemMessage("Request Channel =[%s]\n", conn.path);
    if (g_config.user_authorization && !CheckCredentials(conn, header)) return false;
    if (!CheckChannelAccess(conn, ChannelNumberOf(conn.path), header)) return false;
    const std::string content_type = std::string("Content-Type: ") + entry.content_type;
    const bool track = request.http11 && entry.kind == kHttpLiveTrack;
    if (track) {
        const char* text = g_config.user_authorization ? kTrackText : kMetadataText;
        char head[kHeaderSize];
        FormatText(head,
                   "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nContent-Length: %" PRId64
                   "\r\nKeep-Alive: timeout=15, max=500\r\nConnection: %s\r\n\r\n",
                   static_cast<int64_t>(std::strlen(text)), "Keep-Alive");
        header = std::string(head) + content_type + text;
    } else if (g_config.user_authorization) {
        header = "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nConnection: Keep-Alive\r\n" + content_type;
    } else {
        header = request.http11 ? "HTTP/1.1 200 OK\r\n\r\n" : "HTTP/1.0 200 OK\r\n\r\n";
    }
    if (g_config.user_authorization)
        LogSystemMessage("User [%s], Password[%s] login successfully\n", conn.user_name, conn.password);
    LogSystemMessage("Response data=[%s]\n", header.c_str());
    return true;
}

static ThreadRoutine DataThreadOf(int kind)
{
    switch (kind) {
    case kHttpPlainFile: return HTTPDataThread;
    case kHttpMediaFile: return HTTPMediaDataThread;
    case kHttpTimedMedia: return IPTV_PS_HTTP_DataThread;
    default: return IPTV_TS_HTTP_DataThread;
    }
}

// Serves what is not a file or live channel of a request whose head was read (head as ReadHead
// returned): refusals, CGI, REST, the metrics pages, the channel list, HLS and catch-up. True
// when the request is done with (answered or ended unanswered); false when it is a GET of a
// file or channel (http11 then set).
static bool ServeOtherRequest(PlayerConnection& conn, Request& request, int head, bool in_loop)
{
    if (head < 0) {
        if (head == -2) SendConnectionText(conn, kHttpTimedOut);
        else SendConnectionText(conn, kBadRequest);
        return true;
    }
    if (head == 0 || request.length == 0) return true;
    if (request.length < 5 || std::strstr(request.text + 4, "HTTP/") == nullptr) {
        LogSystemMessage("System Warning: Not HTTP Command\n");
        return true;
    }
    // Only CGI takes POST; a POST anywhere else ends without an answer.
    if (StartsWith(request.text, "POST ")) {
        if (StartsWith(request.text, "POST /cgi-bin/")) ServeCgiRequest(conn, request.text, request.length);
        return true;
    }
    if (StartsWith(request.text, "GET /cgi-bin/")) {
        ServeCgiRequest(conn, request.text, request.length);
        return true;
    }
    if (!StartsWith(request.text, "GET")) return true;
    if (RouteRest(conn, request)) return true;
    if (g_metrics_route != nullptr && g_metrics_route(conn, request.text)) return true;

    const char* version = std::strstr(request.text + 4, "HTTP/");
    if (StartsWith(version, "HTTP/1.0")) {
        LogSystemMessage("HTTP 1.0 protocol\n");
    } else if (StartsWith(version, "HTTP/1.1")) {
        request.http11 = true;
        LogSystemMessage("HTTP 1.1 protocol\n");
    } else {
        SendConnectionText(conn, kBadVersion);
        return true;
    }
    return ServeChannelList(conn, request.text, request.http11) || ServeHlsRequest(conn, request.text, request.http11, in_loop) ||
           ServeCatchUpRequest(conn, request.text, request.http11);
}

static const ExtensionEntry kStartMenu = {".htm", "text/html;charset=big5\r\n\r\n", kHttpPlainFile, kParamsNone};

enum class PathScan { kFound, kUnknown, kTooLong };

// The path of a file or channel request: it runs to the end of the first known extension, with
// "%20" read as a space ("/" alone is the start menu). entry and the offset in text just past
// the extension are set when found.
static PathScan ScanRequestPath(const char* text, std::string& path, const ExtensionEntry*& entry, std::size_t& after)
{
    entry = nullptr;
    if (StartsWith(text + 4, "/ HTTP")) {
        path = std::string("/") + g_config.startmenu;
        entry = &kStartMenu;
        after = 5;
        return PathScan::kFound;
    }
    const char* at = std::strchr(text + 4, '/');
    while (at != nullptr && *at != '\0' && *at != '\r' && !StartsWith(at, " HTTP")) {
        entry = MatchExtensionAt(at);
        if (entry != nullptr) {
            const std::size_t length = std::strlen(entry->extension);
            path.append(at, length);
            if (entry->kind == kHttpLiveTrack) path.back() = 'h';     // ".c4" asks for the ".ch" channel
            after = static_cast<std::size_t>(at - text) + length;
            break;
        }
        if (StartsWith(at, "%20")) {
            path.push_back(' ');
            at += 3;
        } else {
            path.push_back(*at);
            ++at;
        }
        if (path.size() > kPathLimit) return PathScan::kTooLong;
    }
    if (entry == nullptr) return PathScan::kUnknown;
    return path.size() > kPathLimit ? PathScan::kTooLong : PathScan::kFound;
}

// Path and kind of a file or channel request (see ScanRequestPath). Null when the request was
// refused (answered here).
static const ExtensionEntry* FindRequestPath(PlayerConnection& conn, Request& request, std::string& path,
                                             char*& after_extension)
{
    const ExtensionEntry* entry = nullptr;
    std::size_t after = 0;
    const PathScan scan = ScanRequestPath(request.text, path, entry, after);
    if (scan == PathScan::kTooLong) {
        SendConnectionText(conn, kUriTooLong);
        return nullptr;
    }
    if (scan == PathScan::kUnknown) {
        Bump(g_http_stats.not_found);
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage("[%s]: No Support File Format\n", request.text);
        return nullptr;
    }
    after_extension = request.text + after;
    if (entry->kind == kHttpLiveTrack) after_extension[-1] = 'h';
    return entry;
}

// Whether an event loop may answer the request itself: what it takes is the file system and
// small sends (a page, a refusal, a live HLS playlist whose window is cut already). Whatever may
// wait on another party (a CGI program, the REST and metrics handlers, the channel list, other
// HLS requests, catch-up, a user check, a stream) is a worker's. Follows the routing of
// ServeOtherRequest and FindRequestPath.
static bool AnswerableInLoop(const Request& request, int head)
{
    if (head != 1 || request.length < 5 || std::strstr(request.text + 4, "HTTP/") == nullptr) return true;
    if (StartsWith(request.text, "POST ") || StartsWith(request.text, "GET /cgi-bin/")) return false;
    if (!StartsWith(request.text, "GET")) return true;
    bool client_form = false;
    if (FindRestRoute(request, client_form) != nullptr) return false;
    if (g_metrics_route != nullptr && (g_metrics_claims == nullptr || g_metrics_claims(request.text))) return false;
    const char* version = std::strstr(request.text + 4, "HTTP/");
    if (!StartsWith(version, "HTTP/1.0") && !StartsWith(version, "HTTP/1.1")) return true;
    const std::string_view target = RequestTarget(request.text);
    const std::string_view path_only = target.substr(0, target.find('?'));
    if (ParseHlsPath(path_only).kind != HlsPath::kNone) return HlsAnswerableInLoop(path_only);
    if (IsChannelListRequest(request.text)) return false;
    std::string path;
    const ExtensionEntry* entry = nullptr;
    std::size_t after = 0;
    return ScanRequestPath(request.text, path, entry, after) != PathScan::kFound || entry->kind == kHttpPlainFile;
}

// Starts the data thread of an answered file or channel request; true when it took the
// connection over.
static bool StartDataThread(PlayerConnection& conn, const ExtensionEntry& entry, bool live)
{
    const ThreadRoutine routine = DataThreadOf(entry.kind);
    int channel = 0;
    if (live) {
        channel = ChannelNumberOf(conn.path);
        LogSystemMessage("User [%s] watchs CH[%d]\n", conn.user_name, channel);
    }
    ThreadRecord* data = StartThread(routine, &conn, "HTTPData");
    if (data == nullptr) return false;
    conn.data_thread.store(data);
    if (live) {
        LogChannelStart(g_config.user_authorization ? conn.user_name : conn.client_ip, channel, conn.player_time,
                        sizeof conn.player_time);
    }
    return true;
}

enum class Served {
    kEnded,        // answered or not; the command ends the connection
    kDataThread,   // a data thread took the connection over
    kBodyLeft,     // in a loop: a page's header went out, the rest of its body is a worker's
};

// Handles one request whose head was read (head as ReadHead returned); number: the thread
// number of its log lines; in_loop: run by an event loop, on a non-blocking socket.
static Served HandleRequest(PlayerConnection& conn, Request& request, int head, int number, bool in_loop)
{
    if (ServeOtherRequest(conn, request, head, in_loop)) return Served::kEnded;
    std::string path;
    char* after_extension = nullptr;
    const ExtensionEntry* entry = FindRequestPath(conn, request, path, after_extension);
    if (entry == nullptr) return Served::kEnded;

    if (entry->params != kParamsNone) TakeRequestCredentials(conn, request.text, after_extension, entry->params == kParamsAny);

    std::string header;
    bool accepted;
    const bool live = entry->kind == kHttpLive || entry->kind == kHttpLiveTrack;
    if (live) {
        CopyText(conn.path, path);
        accepted = AnswerLive(conn, request, *entry, header);
    } else {
        accepted = AnswerFile(conn, request, *entry, after_extension, path, header);
    }

    CountAnswer(g_http_stats, header.c_str());
    // A short page's body follows at once, and the connection's end after it: header, body
    // and end leave in one segment.
    const bool short_page = in_loop && accepted && entry->kind == kHttpPlainFile && conn.stop.load() == 0 &&
                            conn.end_pos > conn.current_pos && conn.end_pos - conn.current_pos <= kLoopFileMax;
    if (short_page) SetCork(conn.socket.load(), true);
    if (!SendConnectionText(conn, header.data(), header.size())) {
        std::printf("Cmd Thread send TCP package error=[%d]\n", errno);
        std::fflush(stdout);
        return Served::kEnded;
    }
    // The pause lets the header leave before another thread starts on the socket; a plain file
    // follows on this thread, in order anyway.
    if (entry->kind != kHttpPlainFile) SleepMs(1);
    if (!accepted) return Served::kEnded;

    if (entry->kind == kHttpPlainFile) {                      // no data thread: the command ends it
        if (in_loop) return ServePlainFileInLoop(conn, number) ? Served::kEnded : Served::kBodyLeft;
        ServePlainFileOnCommandThread(conn, number);
        return Served::kEnded;
    }
    return StartDataThread(conn, *entry, live) ? Served::kDataThread : Served::kEnded;
}

// The command's end; final_state is its last store (1 for a thread of its own, which the
// monitor joins; 2 for a pooled worker or a loop).
static void EndHttpCommand(PlayerConnection& conn, Served served, int number, int32_t final_state)
{
    LogSystemMessage("*** HTTPCmdThread [%d] OUT\n", number);
    if (served == Served::kDataThread) {
        conn.cmd_state.store(final_state);                    // the data thread owns the rest
        NotifyFinished(g_http_service);
    } else {
        EndCommandWithoutData(g_http_service, conn, final_state);
    }
}

// The command thread's work on one connection, its head read here.
static void ServeHttpCommand(PlayerConnection& conn, int32_t final_state)
{
    const int number = ThreadNumber();
    LogSystemMessage("*** HTTPCmdThread [%d] IN\n", number);
    if (conn.cmd_start_tick.load() == 0) conn.cmd_start_tick.store(GetTickMs());   // the listener set the accept time
    Request request;
    const int head = ReadHead(conn, request);
    EndHttpCommand(conn, HandleRequest(conn, request, head, number, false), number, final_state);
}

void ServeHttpConnection(PlayerConnection& base)
{
    auto& conn = static_cast<HttpConnection&>(base);
    switch (conn.stage) {
    case HttpConnection::kHeadUnread: ServeHttpCommand(conn, kConnThreadJoined); return;
    case HttpConnection::kHeadRead:
        EndHttpCommand(conn, HandleRequest(conn, conn.request, conn.head_result, conn.number, false), conn.number,
                       kConnThreadJoined);
        return;
    case HttpConnection::kBodyLeft:
        FinishPlainFile(conn, conn.number);
        EndHttpCommand(conn, Served::kEnded, conn.number, kConnThreadJoined);
        return;
    }
}

int32_t HTTPCmdThread(void* connection)
{
    ServeHttpCommand(*static_cast<PlayerConnection*>(connection), kConnThreadDone);
    EndThread();
}

uint32_t HttpHeadWaitMs()
{
    return static_cast<uint32_t>(std::min<uint64_t>(kHeadWaitMs, static_cast<uint64_t>(g_config.http_request_time_limit) * 1000));
}

// The end of a loop's connection: one a data thread took over goes the monitor's way; any
// other is freed here and now, as no thread of it is left to join.
static LoopStep EndInLoop(HttpConnection& conn, Served served)
{
    if (served == Served::kDataThread) {
        EndHttpCommand(conn, served, conn.number, kConnThreadJoined);
        return LoopStep::kPassedOn;
    }
    LogSystemMessage("*** HTTPCmdThread [%d] OUT\n", conn.number);
    FreeUnthreadedConnection(g_http_service, conn);
    return LoopStep::kEnded;
}

// Hands a loop's connection to a command worker from `stage`, its socket blocking again with the
// send time-out every blocking send relies on. Without a worker it ends here.
static LoopStep PassOn(HttpConnection& conn, HttpConnection::Stage stage)
{
    conn.stage = stage;
    const int fd = conn.socket.load();
    SetNonBlocking(fd, false);
    SetSocketTimeouts(fd, 0, kHttpSendTimeoutMs);
    if (stage == HttpConnection::kBodyLeft) SetCork(fd, false);   // a long send: segments go as they fill
    if (RunOnWorker(g_http_workers, conn)) return LoopStep::kPassedOn;
    LogSystemMessage("*** HTTPCmdThread [%d]  no command worker for the request\n", conn.number);
    if (stage == HttpConnection::kBodyLeft) {
        conn.stop.store(1);                                   // the page's end without the rest
        FinishPlainFile(conn, conn.number);
    }
    return EndInLoop(conn, Served::kEnded);
}

LoopStep HttpHeadReady(PlayerConnection& base)
{
    auto& conn = static_cast<HttpConnection&>(base);
    const int head = ReceiveHeadPart(conn, conn.request);
    if (head == kHeadPending) return LoopStep::kWait;
    conn.head_result = head;
    if (!AnswerableInLoop(conn.request, head)) return PassOn(conn, HttpConnection::kHeadRead);
    const Served served = HandleRequest(conn, conn.request, head, conn.number, true);
    if (served == Served::kBodyLeft) return PassOn(conn, HttpConnection::kBodyLeft);
    return EndInLoop(conn, served);
}

void HttpHeadExpired(PlayerConnection& base, bool stopping)
{
    auto& conn = static_cast<HttpConnection&>(base);
    int head = 0;
    if (stopping) {
        // Ends unanswered, as a command thread's wait does at a stop.
    } else if (conn.request.length > 0) {
        LogSystemMessage("*** HTTPCmdThread [%d]  request head not complete in time\n", conn.number);
        head = -2;
    } else {
        LogSystemMessage("*** HTTPCmdThread [%d]  TCP Connection without HTTP command\n", conn.number);
    }
    EndInLoop(conn, HandleRequest(conn, conn.request, head, conn.number, true));
}
