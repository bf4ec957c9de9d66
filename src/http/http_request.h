#pragma once
// The HTTP command thread: reads one request head, routes it (CGI, REST, files, live
// channels), answers with one header and hands the connection to a data thread.

#include "http/http_access.h"
#include "net/connection.h"
#include "net/event_loop.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum HttpKind : int {
    kHttpPlainFile  = 0,
    kHttpMediaFile  = 1,
    kHttpLive       = 2,
    kHttpTimedMedia = 3,
    kHttpLiveTrack  = 4,
};

enum HttpParams : int {
    kParamsNone      = 0,
    kParamsAny       = 1,   // query or Basic header
    kParamsQueryOnly = 2,
};

struct ExtensionEntry {
    const char* extension;
    const char* content_type;   // the type text with its closing empty line
    int         kind;
    int         params;
};

// The first table entry that starts at text, in table order; null when none does.
const ExtensionEntry* MatchExtensionAt(const char* text);
// A "Range: bytes=" value (the text after it, up to its line end) against a file of
// file_size bytes: the first byte and the end (exclusive) to send, and what the header said.
// start >= file_size or end <= start means nothing of the file lies in the range.
struct ByteRange {
    int64_t start = 0;
    int64_t end = 0;
    int64_t last = 0;          // the last byte written, or file_size - 1 without one
    bool    suffix = false;    // "-N": the last N bytes
    bool    has_last = false;
};
ByteRange ParseByteRange(const char* value, int64_t file_size);

// A REST handler: writes its own answer on conn's socket. text follows the route prefix.
using RestHandler = void (*)(PlayerConnection& conn, char* text);
// Installed at start-up by the REST module; a null handler ends the connection unanswered.
extern RestHandler g_token_rest_handler;
extern RestHandler g_player_rest_handler;
extern RestHandler g_server_rest_handler;
// Routes taken before the file and live paths (the metrics pages): true when it answered the
// request (the connection then ends). Null: no such routes. g_metrics_claims says, without
// answering, whether the route would (null with a route: it might).
using HttpRouteHook = bool (*)(PlayerConnection& conn, const char* request);
extern HttpRouteHook g_metrics_route;
extern bool (*g_metrics_claims)(const char* request);

constexpr std::size_t kHttpRequestSize = 3072;   // a request head must fit

// A request head as it arrives.
struct HttpRequestHead {
    char        text[kHttpRequestSize + 1] = "";
    std::size_t length = 0;
    bool        http11 = false;
};

// An accepted HTTP client: its record, its request head as it arrives, and how far serving
// it got when an event loop passed it on to a command worker.
class HttpConnection : public PlayerConnection {
public:
    enum Stage {
        kHeadUnread,   // the worker reads the head itself
        kHeadRead,     // head_result says how the head ended; the worker routes it
        kBodyLeft,     // a page's header went out; the worker sends the rest of its body
    };
    HttpRequestHead request;
    int             head_result = 0;    // 1 complete, 0 nothing usable, -1 too long, -2 not in time
    Stage           stage = kHeadUnread;
    int             number = 0;         // the thread number the request's log lines carry
};

int32_t HTTPCmdThread(void* connection);
// A pooled command worker's work on an HttpConnection, from where its stage says.
void ServeHttpConnection(PlayerConnection& conn);

// The event loop's steps for a new HTTP connection (see EventLoops): its head is read as it
// comes; a complete head is answered in the loop when that needs nothing but the file system
// and small sends (pages, refusals), and passed on to a command worker otherwise.
// How long a client has for its whole head, from its connection's start.
uint32_t HttpHeadWaitMs();
LoopStep HttpHeadReady(PlayerConnection& conn);
void HttpHeadExpired(PlayerConnection& conn, bool stopping);
