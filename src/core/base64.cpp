#include "core/base64.h"

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(const uint8_t* data, std::size_t length, bool line_feeds)
{
    std::string text;
    text.reserve((length + 2) / 3 * 4 + length / 54 + 2);
    std::size_t on_line = 0;
    for (std::size_t i = 0; i < length; i += 3) {
        const uint32_t a = data[i];
        const uint32_t b = i + 1 < length ? data[i + 1] : 0;
        const uint32_t c = i + 2 < length ? data[i + 2] : 0;
        const uint32_t group = (a << 16) | (b << 8) | c;
        text.push_back(kAlphabet[(group >> 18) & 63]);
        text.push_back(kAlphabet[(group >> 12) & 63]);
        text.push_back(i + 1 < length ? kAlphabet[(group >> 6) & 63] : '=');
        text.push_back(i + 2 < length ? kAlphabet[group & 63] : '=');
        on_line += 4;
        if (line_feeds && on_line == 72) {
            text.push_back('\n');
            on_line = 0;
        }
    }
    if (line_feeds && on_line > 0) text.push_back('\n');
    return text;
}

static int ValueOf(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 64;                      // padding: a zero that marks the end
    return -1;
}

std::optional<std::vector<uint8_t>> base64_decode(const char* text, std::size_t length)
{
    std::vector<int> values;
    values.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const int value = ValueOf(text[i]);
        if (value >= 0) values.push_back(value);
    }
    if (values.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(values.size() / 4 * 3);
    for (std::size_t i = 0; i < values.size(); i += 4) {
        uint32_t group = 0;
        for (int k = 0; k < 4; ++k) group = (group << 6) | static_cast<uint32_t>(values[i + k] & 63);
        bytes.push_back(static_cast<uint8_t>(group >> 16));
        bytes.push_back(static_cast<uint8_t>(group >> 8));
        bytes.push_back(static_cast<uint8_t>(group));
    }
    if (!values.empty()) {
        if (values[values.size() - 2] == 64) bytes.resize(bytes.size() - 2);
        else if (values.back() == 64) bytes.resize(bytes.size() - 1);
    }
    return bytes;
}
