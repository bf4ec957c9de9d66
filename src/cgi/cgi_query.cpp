#include "cgi/cgi_query.h"

#include "core/query.h"

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool GetQueryParameter(std::string_view query, std::string_view name, std::string& value)
{
    std::string_view found;
    if (!FindQueryValue(query, name, found)) return false;
    value.assign(found);
    return true;
}

bool ContainsKeyword(std::string_view query, std::string_view word) { return QueryHasName(query, word); }

std::string DecodeBrowserValue(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '%' && at + 2 < text.size() && HexDigit(text[at + 1]) >= 0 && HexDigit(text[at + 2]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(text[at + 1]) * 16 + HexDigit(text[at + 2])));
            at += 2;
        } else {
            out.push_back(text[at]);
        }
    }
    return out;
}

std::string EncodeRestValue(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case ':': out += "%3A"; break;
        case '?': out += "%3F"; break;
        case '&': out += "%26"; break;
        case '=': out += "%3D"; break;
        case ',': out += "%2C"; break;
        case '/': out += "%2F"; break;
        case '"': out += "%22"; break;
        case ' ': out += "%20"; break;
        case '%': out += "%25"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out.push_back(c);
        }
    }
    return out;
}

std::string ForwardValue(std::string_view browser_text) { return EncodeRestValue(DecodeBrowserValue(browser_text)); }
