// Fuzz entry for the CGI gateway's request texts: the program name and query, the head
// values of a POST and the file part of a multipart body (found among the parts, and ended
// alike whether the body is searched whole or read in small pieces).

#include "http/http_cgi.h"

#include <algorithm>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CgiTarget target;
    (void)ParseCgiTarget(text, target);
    (void)TrimCgiOutput(text);
    (void)HeadContentLength(text);
    const BodyReader read = [&text](uint64_t offset, char* buffer, std::size_t length) {
        const std::size_t got = offset >= text.size() ? 0 : std::min<std::size_t>(length, text.size() - offset);
        text.copy(buffer, got, offset);
        return got;
    };
    for (const std::string& mark : {UploadBoundary(text), std::string("----b7")}) {
        UploadPart part;
        if (!LocateUploadPart(text, mark, part)) continue;
        if (part.data_begin > text.size() || part.filename.empty()) __builtin_trap();
        (void)IsSafeUploadName(part.filename);
        const std::size_t whole = FindPartEnd(std::string_view(text).substr(part.data_begin), mark, true);
        const int64_t expected = whole == std::string_view::npos ? -1 : static_cast<int64_t>(part.data_begin + whole);
        for (const std::size_t piece : {std::size_t(65536), std::size_t(1), std::size_t(size % 97)}) {
            const int64_t end = FindUploadEnd(read, part.data_begin, text.size(), mark, piece);
            if (end != expected) __builtin_trap();
        }
    }
    return 0;
}
