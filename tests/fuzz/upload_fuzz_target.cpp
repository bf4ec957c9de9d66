// Fuzz entry for the CGI gateway's request texts: the program name and query, the head
// values of a POST and the film part of a multipart body (whole, and with a short tail).

#include "http/http_cgi.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CgiTarget target;
    (void)ParseCgiTarget(text, target);
    (void)TrimCgiOutput(text);
    (void)HeadContentLength(text);
    const std::string boundary = UploadBoundary(text);
    UploadPart part;
    for (const std::string& mark : {boundary, std::string("----b7")}) {
        if (LocateUploadPart(text, text, 0, text.size(), mark, part)) {
            if (part.data_begin > part.data_end || part.data_end > text.size()) __builtin_trap();
            (void)IsSafeUploadName(part.filename);
        }
        const std::size_t tail = text.size() > 64 ? 64 : text.size();
        if (LocateUploadPart(text, std::string_view(text).substr(text.size() - tail), text.size() - tail, text.size(), mark,
                             part) &&
            (part.data_begin > part.data_end || part.data_end > text.size()))
            __builtin_trap();
    }
    return 0;
}
