#pragma once
// What the REST handlers share: URL decoding, the request text split into its command and
// its parameters, the parameter reader, and the fixed answer texts. Answers go out with
// SendConnectionText; the 404 answer is kNotFoundAnswer.

#include "net/connection.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// "HTTP/1.1 200 OK\r\n" and its empty line.
extern const char kRestOkLine[];

// Copies text; "%" and the two characters after it become one: 3A/3a ":", 3F/3f "?", 26 "&",
// 3D/3d "=", 2C/2c ",", 2F/2f "/", 2E/2e ".", 22 '"', 20 " ", 25 "%", anything else "?". A "%"
// without two characters after it stays. Nothing else changes ("+" stays "+").
std::string UrlDecode(std::string_view text);

// A REST request text (what follows the route prefix): the command is the text before "?"
// (URL-decoded), the query the text after it up to the first "\r\n".
struct RestText {
    std::string      command;
    std::string_view query;
    bool             query_ended = false;   // a "\r\n" closed the query
};
RestText SplitRestText(const char* text);

// The value of the first whole "name=" pair of the query (at its start or after "&"), up to
// the next "&" (or the query's end when a "\r\n" closed it), URL-decoded. False when missing.
bool RestParameter(const RestText& request, std::string_view name, std::string& value);

// "HTTP/1.1 200 OK ... Content-Length: <length> ... Connection: Keep-Alive\r\n\r\n".
std::string RestLongHeader(std::size_t content_length);
