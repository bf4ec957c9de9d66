#pragma once
// The HTTP command thread: reads one request head, routes it (CGI, REST, files, live
// channels), answers with one header and hands the connection to a data thread.

#include "http/http_access.h"
#include "net/connection.h"

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
// request (the connection then ends). Null: no such routes.
using HttpRouteHook = bool (*)(PlayerConnection& conn, const char* request);
extern HttpRouteHook g_metrics_route;

int32_t HTTPCmdThread(void* connection);
// The same work done by a pooled command worker (see WorkerPool).
void ServeHttpConnection(PlayerConnection& conn);
