#pragma once
// The CGI gateway: requests under "/cgi-bin/" run a program of the "cgi-bin" folder as a child
// (no shell, its own environment, bounded in time and output) and answer with what it
// printed. A POST may carry a film, stored under "media/videos/".

#include "http/connection.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t kCgiOutputSize = 102400;   // the most of a program's output we answer

// Installed at start-up: whether a token belongs to the root account (uploads need one).
using CgiRootCheck = int (*)(const char* token);
extern CgiRootCheck g_cgi_root_check;

// The text after "/cgi-bin/" up to " HTTP": the program name and the query. False when the
// name is not a plain file name (empty, a "/" or "\\", a leading ".", a character outside
// letters, digits, "_", "-" and ".").
struct CgiTarget {
    std::string name;
    std::string query;
    bool        has_query = false;
};
bool ParseCgiTarget(std::string_view text, CgiTarget& target);

// The program's output as it is sent: cut right after "</html>" with "\r\n" added when it
// holds one, else whole (at most kCgiOutputSize bytes).
std::string TrimCgiOutput(std::string_view output);
// The answer header for a body of length bytes.
std::string CgiAnswerHeader(std::size_t length);

// A file name an upload may store: no "/", "\\", "..", control character, not empty, at most
// 200 bytes.
bool IsSafeUploadName(std::string_view name);

// The film part of a multipart body. head is the start of the body (its part headers must
// lie inside), tail its last bytes, beginning at tail_offset, and total the body's length.
// The data runs from data_begin to data_end (the closing boundary and its line break left
// out). False when the body holds no file part.
struct UploadPart {
    std::string filename;
    uint64_t    data_begin = 0;
    uint64_t    data_end   = 0;
};
bool LocateUploadPart(std::string_view head, std::string_view tail, uint64_t tail_offset, uint64_t total,
                      std::string_view boundary, UploadPart& part);
// The boundary of a "Content-Type: multipart/form-data; boundary=..." head; "" without one.
std::string UploadBoundary(std::string_view head);
// The value of a "Content-Length:" line of the head (any letter case); -1 without one.
int64_t HeadContentLength(std::string_view head);

// Serves one request under "/cgi-bin/": text is the whole request as read so far (head and
// any body bytes after it). Answers and leaves the connection for the caller to end.
void ServeCgiRequest(PlayerConnection& conn, const char* text, std::size_t length);
