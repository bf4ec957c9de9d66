#pragma once
// The CGI gateway: requests under "/cgi-bin/" run a program of the "cgi-bin" folder as a child
// (no shell, its own environment, bounded in time and output) and answer with what it
// printed. A POST may carry a film, stored under "media/videos/".

#include "net/connection.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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
// holds one, else whole. (Its length is bounded by cgi_output_limit_kb as it is read.)
std::string TrimCgiOutput(std::string output);
// The answer header for a body of length bytes.
std::string CgiAnswerHeader(std::size_t length);

// A file name an upload may store: no "/", "\\", "..", control character, not empty, at most
// 200 bytes.
bool IsSafeUploadName(std::string_view name);

// The film part of a multipart body: its file name and the bytes of its data,
// [data_begin, data_end) of the body.
struct UploadPart {
    std::string filename;
    uint64_t    data_begin = 0;
    uint64_t    data_end   = 0;
};
// Finds the first part of a multipart body that carries a file (a non-empty "filename" in
// its headers) and sets filename and data_begin; data_end is left to FindUploadEnd. head is
// the start of the body: that part's headers and every part before it must lie inside.
// False when no part in head carries a file.
bool LocateUploadPart(std::string_view head, std::string_view boundary, UploadPart& part);
// Where the part data that data starts with ends: the offset of the line break opening the
// next boundary line ("\r\n--" boundary, followed by "--", a line break or a blank); npos
// without one. Unless complete, data may go on past its end, and a boundary line whose
// following bytes are missing is not taken.
std::size_t FindPartEnd(std::string_view data, std::string_view boundary, bool complete);
// Reads up to size bytes of a body at offset; the count read (fewer only at its end or on an
// error).
using BodyReader = std::function<std::size_t(uint64_t offset, char* buffer, std::size_t size)>;
// FindPartEnd over the bytes [begin, total) of a body read piece by piece (piece bytes at a
// time, raised to what a boundary line needs): the body offset of the end, or -1 without one.
int64_t FindUploadEnd(const BodyReader& read, uint64_t begin, uint64_t total, std::string_view boundary,
                      std::size_t piece = 65536);
// The boundary of a "Content-Type: multipart/form-data; boundary=..." head; "" without one.
std::string UploadBoundary(std::string_view head);
// The value of a "Content-Length:" line of the head (any letter case); -1 without one.
int64_t HeadContentLength(std::string_view head);

// Serves one request under "/cgi-bin/": text is the whole request as read so far (head and
// any body bytes after it). Answers and leaves the connection for the caller to end.
void ServeCgiRequest(PlayerConnection& conn, const char* text, std::size_t length);
