#include "http/http_cgi.h"

#include "core/config.h"
#include "core/file_replace.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/query.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "http/http_access.h"
#include "http/http_service.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

CgiRootCheck g_cgi_root_check = nullptr;

namespace {

constexpr std::size_t kUploadHeadScan = 65536;   // the file part's headers lie within this
constexpr int         kBodyWaitMs     = 10000;   // the longest pause between two pieces of a body
constexpr uint64_t    kBodyFloorRate  = 65536;   // bytes a second a body is given time for
constexpr std::size_t kUploadNameSize = 200;

const char kCgiForbidden[]  = "HTTP/1.0 403 Forbidden\r\n\r\n";
const char kCgiBadUpload[]  = "HTTP/1.0 400 Bad Request\r\n\r\n";
const char kCgiTooLarge[]   = "HTTP/1.0 413 Request Entity Too Large\r\n\r\n";
const char kCgiNotStored[]  = "HTTP/1.0 500 Internal Server Error\r\n\r\n";
const char kCgiNoRoom[]     = "HTTP/1.0 507 Insufficient Storage\r\n\r\n";

bool IsNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// A file without a name in the working directory (gone when closed): the spool of a body.
int OpenSpoolFile()
{
    int fd = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    char name[] = "./.cgi_body_XXXXXX";
    fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0) unlink(name);
    return fd;
}

// Whether bytes more can be written in the working directory and leave its file system the
// free space of "cgi_min_free_mb" (recordings and the user file must never run out of room
// because of a POST). A file system that cannot tell is taken to have room.
bool RoomFor(uint64_t bytes)
{
    struct statvfs info{};
    if (statvfs(".", &info) != 0) return true;
    const uint64_t free_bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    const uint64_t floor = static_cast<uint64_t>(g_config.cgi_min_free_mb) * 1024 * 1024;
    return free_bytes >= bytes && free_bytes - bytes >= floor;
}

enum class BodyResult { kComplete, kGone, kTimedOut, kNoRoom };

// Spools the body (first the bytes that came with the head, then the rest from the socket)
// into fd, until deadline_ms at the latest.
BodyResult ReceiveBody(PlayerConnection& conn, const char* first, std::size_t first_length, uint64_t content_length,
                       int fd, uint64_t deadline_ms)
{
    uint64_t stored = std::min<uint64_t>(first_length, content_length);
    if (stored > 0 && !RoomFor(stored)) return BodyResult::kNoRoom;
    if (!WriteWhole(fd, first, static_cast<std::size_t>(stored))) return BodyResult::kGone;
    std::vector<char> chunk(65536);
    while (stored < content_length) {
        const int socket = conn.socket.load();
        const uint64_t now = GetTickMs();
        if (now >= deadline_ms) return BodyResult::kTimedOut;
        const int wait_ms = static_cast<int>(std::min<uint64_t>(kBodyWaitMs, deadline_ms - now));
        const int ready = PollOne(socket, POLLIN, wait_ms);
        if (ready < 0 || (ready == 0 && (g_http_stop_state.load() != 0 || ProcessStopRaised()))) return BodyResult::kGone;
        if (ready == 0) return BodyResult::kTimedOut;
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), content_length - stored));
        const ssize_t got = ReceiveBytes(socket, chunk.data(), want, 0);
        if (got <= 0) return BodyResult::kGone;
        if (!RoomFor(static_cast<uint64_t>(got))) return BodyResult::kNoRoom;
        if (!WriteWhole(fd, chunk.data(), static_cast<std::size_t>(got)))
            return errno == ENOSPC ? BodyResult::kNoRoom : BodyResult::kGone;
        stored += static_cast<uint64_t>(got);
    }
    return BodyResult::kComplete;
}

// Reads length bytes at offset into buffer; the count read (fewer only at the end or on an error).
std::size_t ReadInto(int fd, uint64_t offset, char* buffer, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Copies [begin, end) of the spool to "media/videos/<name>" through a temporary file and one
// rename. 1 stored, 0 failed, -1 no room (nothing is left behind either way).
int StoreUpload(int spool, const UploadPart& part)
{
    if (!RoomFor(part.data_end - part.data_begin)) return -1;
    mkdir("media", 0755);
    mkdir("media/videos", 0755);
    const std::string final_name = "media/videos/" + part.filename;
    const std::string temp_name = "media/videos/." + part.filename + ".uploading";
    const int out = open(temp_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return 0;
    std::vector<char> chunk(65536);
    uint64_t at = part.data_begin;
    bool ok = true;
    bool room = true;
    while (ok && at < part.data_end) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), part.data_end - at));
        const std::size_t got = ReadInto(spool, at, chunk.data(), want);
        room = RoomFor(got);
        ok = got == want && room && WriteWhole(out, chunk.data(), got);
        if (!ok && room && got == want) room = errno != ENOSPC;
        at += got;
    }
    ok = ok && fsync(out) == 0;
    ok = close(out) == 0 && ok;
    ok = ok && std::rename(temp_name.c_str(), final_name.c_str()) == 0;
    if (!ok) unlink(temp_name.c_str());
    return ok ? 1 : (room ? 0 : -1);
}

// Stores the film of a received upload body. False when it was refused (answered here).
bool KeepUpload(PlayerConnection& conn, int spool, uint64_t total, const std::string& boundary)
{
    std::string head(static_cast<std::size_t>(std::min<uint64_t>(total, kUploadHeadScan)), '\0');
    head.resize(ReadInto(spool, 0, head.data(), head.size()));
    UploadPart part;
    const BodyReader read = [spool](uint64_t offset, char* buffer, std::size_t size) {
        return ReadInto(spool, offset, buffer, size);
    };
    const int64_t end = LocateUploadPart(head, boundary, part) ? FindUploadEnd(read, part.data_begin, total, boundary) : -1;
    if (end < 0) {
        LogSystemMessage("CGI upload refused: no file part\n");
        SendConnectionText(conn, kCgiBadUpload);
        return false;
    }
    part.data_end = static_cast<uint64_t>(end);
    if (!IsSafeUploadName(part.filename)) {
        LogSystemMessage("CGI upload refused: file name [%s]\n", part.filename.c_str());
        SendConnectionText(conn, kCgiBadUpload);
        return false;
    }
    const int stored = StoreUpload(spool, part);
    if (stored != 1) {
        LogSystemMessage("CGI upload of [%s] could not be stored%s\n", part.filename.c_str(),
                         stored < 0 ? ": too little free space" : "");
        SendConnectionText(conn, stored < 0 ? kCgiNoRoom : kCgiNotStored);
        return false;
    }
    LogSystemMessage("CGI upload stored media/videos/%s (%" PRIu64 " bytes)\n", part.filename.c_str(),
                     part.data_end - part.data_begin);
    return true;
}

// The address the client reached the server on; the listener's own address without one.
std::string ServerAddressOf(PlayerConnection& conn)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    char text[INET_ADDRSTRLEN] = "";
    if (getsockname(conn.socket.load(), reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
        local.sin_family == AF_INET && inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr)
        return text;
    return g_http_local_ip;
}

// Judges a POST by its head alone, before a byte of its body is stored: 413 past its size
// limit (a film's, or the small one of any other body), 403 for an upload without a root
// token, 507 when the body would take the free space below its floor. True when the body may
// be received.
bool AdmitPost(PlayerConnection& conn, const CgiTarget& target, int64_t content_length, bool upload)
{
    const int64_t limit = upload ? g_config.cgi_upload_limit_mb * 1024 * 1024 : g_config.cgi_post_limit_kb * 1024;
    if (content_length > limit) {
        LogSystemMessage("CGI POST of %" PRId64 " bytes refused: the limit is %" PRId64 " bytes\n", content_length, limit);
        SendConnectionText(conn, kCgiTooLarge);
        return false;
    }
    if (upload) {
        std::string_view found;
        const std::string token(FindQueryValue(target.query, "token", found) ? found : std::string_view());
        if (token.empty() || g_cgi_root_check == nullptr || g_cgi_root_check(token.c_str()) != 1) {
            LogSystemMessage("CGI upload refused: no root token\n");
            SendConnectionText(conn, kCgiForbidden);
            return false;
        }
    }
    // An upload is held twice for a moment: the body, and the film copied out of it.
    const uint64_t needed = static_cast<uint64_t>(content_length) * (upload ? 2 : 1);
    if (content_length > 0 && !RoomFor(needed)) {
        LogSystemMessage("CGI POST of %" PRId64 " bytes refused: too little free space\n", content_length);
        SendConnectionText(conn, kCgiNoRoom);
        return false;
    }
    return true;
}

// What a POST carries before the program runs. False when the request was answered (or
// dropped) here; input_fd then stays -1.
bool ReceivePost(PlayerConnection& conn, const CgiTarget& target, const char* text, std::size_t length, int& input_fd,
                 int64_t& content_length)
{
    const std::string_view whole(text, length);
    const std::size_t head_end = whole.find("\r\n\r\n");
    const std::string_view head = whole.substr(0, head_end);
    const std::size_t body_start = head_end == std::string_view::npos ? length : head_end + 4;
    content_length = std::max<int64_t>(HeadContentLength(head), 0);
    const std::string boundary = UploadBoundary(head);
    const bool upload = !boundary.empty() && content_length > 0;
    if (!AdmitPost(conn, target, content_length, upload)) return false;
    const int spool = OpenSpoolFile();
    if (spool < 0) {
        LogSystemMessage("CGI POST body cannot be kept\n");
        return false;
    }
    // The whole request has its time from the accept on: the small allowance, and more for
    // a large body at the floor rate.
    const uint64_t deadline_ms = conn.cmd_start_tick.load() + static_cast<uint64_t>(g_config.http_request_time_limit) * 1000 +
                                 static_cast<uint64_t>(content_length) * 1000 / kBodyFloorRate;
    const BodyResult received = ReceiveBody(conn, text + body_start, length - body_start,
                                            static_cast<uint64_t>(content_length), spool, deadline_ms);
    if (received != BodyResult::kComplete) {
        if (received == BodyResult::kGone) LogSystemMessage("CGI POST body incomplete\n");
        if (received == BodyResult::kTimedOut) LogSystemMessage("CGI POST body not received in time\n");
        if (received == BodyResult::kNoRoom) LogSystemMessage("CGI POST body refused: too little free space\n");
        if (received == BodyResult::kTimedOut) SendConnectionText(conn, kHttpTimedOut);
        if (received == BodyResult::kNoRoom) SendConnectionText(conn, kCgiNoRoom);
        close(spool);                                     // the spool has no name: closing removes it
        return false;
    }
    if (upload && !KeepUpload(conn, spool, static_cast<uint64_t>(content_length), boundary)) {
        close(spool);
        return false;
    }
    lseek(spool, 0, SEEK_SET);
    input_fd = spool;
    return true;
}

}  // namespace

bool ParseCgiTarget(std::string_view text, CgiTarget& target)
{
    target = CgiTarget();
    std::size_t end = text.find(" HTTP");
    if (end == std::string_view::npos) end = std::min(text.find("\r\n"), text.size());
    const std::string_view line = text.substr(0, end);
    const std::size_t question = line.find('?');
    const std::string_view name = line.substr(0, question);
    if (question != std::string_view::npos) {
        target.has_query = true;
        target.query = std::string(line.substr(question + 1));
    }
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    for (const char c : name)
        if (!IsNameCharacter(c)) return false;
    target.name = std::string(name);
    return true;
}

std::string TrimCgiOutput(std::string output)
{
    const std::size_t html_end = output.find("</html>");
    if (html_end == std::string::npos) return output;
    output.resize(html_end + 7);
    return output + "\r\n";
}

std::string CgiAnswerHeader(std::size_t length)
{
    const auto n = static_cast<int64_t>(length);
    return FormatString("HTTP/1.0 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nContent-Length: %" PRId64
                        "\r\nContent-Range: bytes %" PRId64 "-%" PRId64 "/%" PRId64 "\r\nConnection: %s\r\n",
                        n, static_cast<int64_t>(0), n - 1, n, "close") +
           "Content-Type: text/html;charset=big5\r\n\r\n";
}

bool IsSafeUploadName(std::string_view name)
{
    if (name.empty() || name.size() > kUploadNameSize || name == "." || name[0] == '.') return false;
    if (name.find("..") != std::string_view::npos) return false;
    for (const char c : name)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

std::string UploadBoundary(std::string_view head)
{
    const std::size_t at = head.find("boundary=");
    if (at == std::string_view::npos) return {};
    std::string_view value = head.substr(at + 9);
    value = value.substr(0, std::min(value.find_first_of("\r\n;"), value.size()));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
    if (value.size() > 200) return {};
    return std::string(value);
}

int64_t HeadContentLength(std::string_view head)
{
    static constexpr std::string_view kName = "\r\ncontent-length:";
    for (std::size_t at = 0; at + kName.size() <= head.size(); ++at) {
        bool same = true;
        for (std::size_t i = 0; i < kName.size() && same; ++i) {
            char c = head[at + i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == kName[i];
        }
        if (!same) continue;
        std::size_t digit = at + kName.size();
        while (digit < head.size() && head[digit] == ' ') ++digit;
        if (digit >= head.size() || head[digit] < '0' || head[digit] > '9') return -1;
        int64_t value = 0;
        for (; digit < head.size() && head[digit] >= '0' && head[digit] <= '9'; ++digit) {
            if (value > (INT64_MAX - 9) / 10) return -1;
            value = value * 10 + (head[digit] - '0');
        }
        return value;
    }
    return -1;
}

std::size_t FindPartEnd(std::string_view data, std::string_view boundary, bool complete)
{
    if (boundary.empty()) return std::string_view::npos;
    const std::string delimiter = "\r\n--" + std::string(boundary);
    for (std::size_t at = data.find(delimiter); at != std::string_view::npos; at = data.find(delimiter, at + 1)) {
        const std::string_view after = data.substr(at + delimiter.size());
        if (after.size() < 2) {
            // The bytes that tell a boundary line from film data that merely looks like one.
            if (!complete) return std::string_view::npos;
            if (after.empty() || after[0] == '-' || after[0] == '\r' || after[0] == ' ' || after[0] == '\t') return at;
            continue;
        }
        if (after.starts_with("--") || after.starts_with("\r\n") || after[0] == ' ' || after[0] == '\t') return at;
    }
    return std::string_view::npos;
}

int64_t FindUploadEnd(const BodyReader& read, uint64_t begin, uint64_t total, std::string_view boundary,
                      std::size_t piece)
{
    // Pieces overlap by what a boundary line and its two following bytes need, less one: a
    // line that a piece cuts is whole in the next one.
    const std::size_t overlap = boundary.size() + 5;
    piece = std::max(piece, 2 * overlap);
    std::vector<char> window(piece);
    uint64_t at = begin;
    while (at < total) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(piece, total - at));
        const std::size_t got = read(at, window.data(), want);
        if (got != want) return -1;
        const bool last = at + got >= total;
        const std::size_t end = FindPartEnd(std::string_view(window.data(), got), boundary, last);
        if (end != std::string_view::npos) return static_cast<int64_t>(at + end);
        if (last) return -1;
        at += got - overlap;
    }
    return -1;
}

bool LocateUploadPart(std::string_view head, std::string_view boundary, UploadPart& part)
{
    part = UploadPart();
    if (boundary.empty()) return false;
    const std::string opening = "--" + std::string(boundary);
    // The first boundary line opens the body or follows a preamble's line break.
    std::size_t at = head.starts_with(opening) ? 0 : head.find("\r\n" + opening);
    if (at == std::string_view::npos) return false;
    if (at > 0) at += 2;
    for (;;) {
        const std::string_view rest = head.substr(at + opening.size());
        if (rest.starts_with("--")) return false;                   // the closing boundary line
        // The part headers: from the line break ending the boundary line to the empty line.
        const std::size_t headers = head.find("\r\n", at);
        if (headers == std::string_view::npos) return false;
        const std::size_t headers_end = head.find("\r\n\r\n", headers);
        if (headers_end == std::string_view::npos) return false;
        const std::string_view part_head = head.substr(headers, headers_end - headers);
        const std::size_t data = headers_end + 4;
        const std::size_t filename = part_head.find("filename=\"");
        if (filename != std::string_view::npos) {
            const std::size_t name_start = filename + 10;
            const std::size_t name_end = part_head.find('"', name_start);
            if (name_end == std::string_view::npos) return false;
            if (name_end > name_start) {
                part.filename = std::string(part_head.substr(name_start, name_end - name_start));
                part.data_begin = data;
                return true;
            }
        }
        // A form field (or a file input left empty): the next part starts at its end.
        const std::size_t field_end = FindPartEnd(head.substr(data), boundary, false);
        if (field_end == std::string_view::npos) return false;
        at = data + field_end + 2;
    }
}

void ServeCgiRequest(PlayerConnection& conn, const char* text, std::size_t length)
{
    const bool post = std::strncmp(text, "POST ", 5) == 0;
    const char* path = text + (post ? 5 : 4);
    const char* line_end = std::strstr(path, "\r\n");
    const std::size_t line_length = line_end != nullptr ? static_cast<std::size_t>(line_end - path) : std::strlen(path);
    const std::string_view line(path, line_length);
    CgiTarget target;
    if (!line.starts_with("/cgi-bin/") || !ParseCgiTarget(line.substr(9), target)) {
        LogSystemMessage("CGI request refused: [%.*s]\n", static_cast<int>(std::min<std::size_t>(line_length, 200)), path);
        SendConnectionText(conn, kNotFoundAnswer);
        return;
    }
    if (target.has_query) LogSystemMessage("CGI parameter =[%s]\n", target.query.c_str());
    const std::string program = "./cgi-bin/" + target.name;
    LogSystemMessage("cgi-filename=<%s>\n", program.c_str());
    struct stat info{};
    if (stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        LogSystemMessage("Create CGI Process failed\n");
        return;
    }

    std::vector<std::string> environment;
    environment.push_back("QUORVANE_STRING=" + ServerAddressOf(conn));
    if (target.has_query) environment.push_back("QUERY_STRING=" + target.query);
    environment.push_back(post ? "REQUEST_METHOD=POST" : "REQUEST_METHOD=GET");
    int input_fd = -1;
    if (post) {
        int64_t content_length = 0;
        if (!ReceivePost(conn, target, text, length, input_fd, content_length)) return;
        environment.push_back("CONTENT_LENGTH=" + std::to_string(content_length));
    }

    LogSystemMessage("Create CGI Pipe Successfully\n");
    ChildResult result;
    const int time_limit_ms = g_config.cgi_time_limit * 1000;
    const auto output_limit = static_cast<std::size_t>(g_config.cgi_output_limit_kb * 1024);
    const bool started = RunChildProcess(program, {}, environment, output_limit, time_limit_ms, result, input_fd,
                                         &g_http_stop_state);
    if (input_fd >= 0) close(input_fd);
    if (!started) {
        LogSystemMessage("Create CGI Process failed\n");
        return;
    }
    LogSystemMessage("Create CGI Process Successfully\n");
    if (result.timed_out) LogSystemMessage("CGI program %s killed after %d s\n", program.c_str(), g_config.cgi_time_limit);
    if (result.stopped) {
        LogSystemMessage("CGI program %s killed: the server is stopping\n", program.c_str());
        return;
    }
    if (result.truncated) LogSystemMessage("CGI output cut to %zu bytes\n", output_limit);
    LogSystemMessage("total_read_length=[%ld]\n", static_cast<long>(result.output.size()));
    const std::string body = TrimCgiOutput(std::move(result.output));
    LogSystemMessage("CGI return [%ld] bytes\n", static_cast<long>(body.size()));
    if (SendConnectionText(conn, CgiAnswerHeader(body.size()))) SendConnectionText(conn, body);
}
