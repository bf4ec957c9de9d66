#include "cgi/cgi_query.h"

namespace {

// Calls visit(name, value, has_value) for each "&"-separated pair; stops when it returns true.
template <typename Visit>
bool ForEachPair(std::string_view query, Visit visit)
{
    std::size_t at = 0;
    while (at <= query.size()) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const std::string_view pair = query.substr(at, end - at);
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            if (visit(pair, std::string_view(), false)) return true;
        } else if (visit(pair.substr(0, equals), pair.substr(equals + 1), true)) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

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
    return ForEachPair(query, [&](std::string_view key, std::string_view text, bool has_value) {
        if (!has_value || key != name) return false;
        value.assign(text);
        return true;
    });
}

bool ContainsKeyword(std::string_view query, std::string_view word)
{
    return ForEachPair(query, [&](std::string_view key, std::string_view, bool) { return key == word; });
}

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
