#include "rest/rest_common.h"

#include "core/query.h"
#include "core/text.h"
#include "net/connection.h"

#include <cstdio>

const char kRestOkLine[]  = "HTTP/1.1 200 OK\r\n\r\n";

static char DecodedPair(char high, char low)
{
    const auto is = [&](const char* code) { return high == code[0] && low == code[1]; };
    if (is("3A") || is("3a")) return ':';
    if (is("3F") || is("3f")) return '?';
    if (is("26")) return '&';
    if (is("3D") || is("3d")) return '=';
    if (is("2C") || is("2c")) return ',';
    if (is("2F") || is("2f")) return '/';
    if (is("2E") || is("2e")) return '.';
    if (is("22")) return '"';
    if (is("20")) return ' ';
    if (is("25")) return '%';
    return '?';
}

std::string UrlDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '%' && at + 2 < text.size()) {
            out.push_back(DecodedPair(text[at + 1], text[at + 2]));
            at += 2;
        } else {
            out.push_back(text[at]);
        }
    }
    return out;
}

RestText SplitRestText(const char* text)
{
    RestText request;
    const std::string_view all(text);
    const std::size_t line_end = all.find("\r\n");
    request.query_ended = line_end != std::string_view::npos;
    const std::string_view line = all.substr(0, request.query_ended ? line_end : all.size());
    const std::size_t mark = line.find('?');
    request.command = UrlDecode(line.substr(0, mark));
    if (mark != std::string_view::npos) request.query = line.substr(mark + 1);
    return request;
}

bool RestParameter(const RestText& request, std::string_view name, std::string& value)
{
    std::string_view found;
    if (!FindQueryValue(request.query, name, found)) return false;
    // The last value ends at the line end; without one it has no end and is missing.
    if (found.data() + found.size() == request.query.data() + request.query.size() && !request.query_ended) return false;
    value = UrlDecode(found);
    return true;
}

std::string RestLongHeader(std::size_t content_length)
{
    char header[256];
    FormatText(header,
               "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nContent-Length: %lld\r\n"
               "Keep-Alive: timeout=15, max=500\r\nConnection: %s\r\n\r\n",
               static_cast<long long>(content_length), "Keep-Alive");
    return header;
}

