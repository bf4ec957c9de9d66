#pragma once
// The HTTP command thread: reads one request head, routes it (CGI, REST, files, live
// channels), answers with one header and hands the connection to a data thread.

#include "http/connection.h"

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

// The answers a refused request gets: no such path, the user check's refusal, and a request
// that did not arrive within its time.
extern const char kHttpNotFound[];
extern const char kHttpUserError[];
extern const char kHttpTimedOut[];

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
// The channel number of a live request path: the digits between the last "/" before ".ch"
// and ".ch"; 1 when the path holds no ".ch".
int ChannelNumberOf(const char* path);

// Credentials from a query (the text after "?", ending at the first space). Clears all three
// first. Each of "u=", "p=", "m=" is found anywhere; its value ends at the first separator,
// else the second, else "%26", else the end of the query.
void ParseQueryCredentials(const char* query, char separator, char second_separator, char (&mac_id)[kMacIdSize],
                           char (&user)[kCredentialSize], char (&password)[kCredentialSize]);
// Credentials from the text after "Authorization: Basic " (up to "\r\n"). Clears all three.
void ParseBasicCredentials(const char* text, char (&mac_id)[kMacIdSize], char (&user)[kCredentialSize],
                           char (&password)[kCredentialSize]);

// A request's credentials into conn: from the query after the path (after_path points past
// it), else from an "Authorization: Basic" header when basic_allowed; all three cleared
// without either.
void TakeRequestCredentials(PlayerConnection& conn, const char* request_text, const char* after_path, bool basic_allowed);
// The user check of a request: the MAC ID stands for the user unless the user is "root".
// False when refused: header then holds the 1001 or 1002 answer and the stop flag is set.
[[nodiscard]] bool CheckCredentials(PlayerConnection& conn, std::string& header);

// Whether a request path holds a ".." segment (it would leave the working directory).
bool HasDotDotSegment(const std::string& path);
// True when the open file is one of the protected files (however its path is spelt) or lies
// outside the working directory (a symbolic link out of it, say).
bool IsForbiddenFile(int fd, const std::string& full_name);

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
