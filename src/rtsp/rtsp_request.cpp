#include "rtsp/rtsp_request.h"

#include <cctype>
#include <cstdlib>
#include <strings.h>

static constexpr std::string_view kAcceptedExtensions[] = {
    ".mp3", ".MP3", ".mp4", ".MP4", ".mpg", ".MPG", ".avi", ".AVI", ".wmv", ".WMV",
    ".wma", ".WMA", ".mov", ".MOV", ".mpeg", ".MPEG", ".ts", ".TS", ".ch", ".CH",
};

RtspUnit NextRtspUnit(std::string_view buffered, std::size_t limit, std::size_t& length)
{
    length = 0;
    if (buffered.empty()) return RtspUnit::kIncomplete;
    if (buffered[0] == '$') {
        if (buffered.size() < 4) return RtspUnit::kIncomplete;
        const std::size_t frame = 4 + ((static_cast<uint8_t>(buffered[2]) << 8) | static_cast<uint8_t>(buffered[3]));
        if (buffered.size() < frame) return RtspUnit::kIncomplete;
        length = frame;
        return RtspUnit::kInterleaved;
    }
    const std::size_t head_end = buffered.find("\r\n\r\n");
    if (head_end == std::string_view::npos) return buffered.size() >= limit ? RtspUnit::kTooLong : RtspUnit::kIncomplete;
    std::size_t total = head_end + 4;
    uint32_t body = 0;
    if (RtspHeaderNumber(buffered.substr(0, total), "Content-Length", body)) {
        if (body > limit) return RtspUnit::kTooLong;
        total += body;
        if (buffered.size() < total) return total > limit ? RtspUnit::kTooLong : RtspUnit::kIncomplete;
    }
    length = total;
    return RtspUnit::kRequest;
}

bool RtspHeader(std::string_view request, std::string_view name, std::string_view& value)
{
    std::size_t line = request.find("\r\n");
    while (line != std::string_view::npos) {
        const std::size_t start = line + 2;
        const std::size_t end = request.find("\r\n", start);
        const std::string_view text = request.substr(start, (end == std::string_view::npos ? request.size() : end) - start);
        if (text.size() > name.size() && text[name.size()] == ':' &&
            strncasecmp(text.data(), name.data(), name.size()) == 0) {
            std::size_t at = name.size() + 1;
            while (at < text.size() && text[at] == ' ') ++at;
            value = text.substr(at);
            return true;
        }
        line = end;
    }
    return false;
}

bool RtspHeaderNumber(std::string_view request, std::string_view name, uint32_t& value)
{
    std::string_view text;
    if (!RtspHeader(request, name, text)) return false;
    uint64_t number = 0;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 11 && std::isdigit(static_cast<unsigned char>(text[digits])) != 0) {
        number = number * 10 + static_cast<uint64_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0) return false;
    value = static_cast<uint32_t>(number);
    return true;
}

std::string_view RtspUrl(std::string_view request)
{
    const std::size_t line_end = request.find("\r\n");
    const std::string_view line = request.substr(0, line_end);
    const std::size_t start = line.find(' ');
    if (start == std::string_view::npos) return {};
    const std::size_t end = line.find(' ', start + 1);
    return line.substr(start + 1, (end == std::string_view::npos ? line.size() : end) - start - 1);
}

// The number at text[at...] (leading digits); at moves past them.
static int32_t Digits(std::string_view text, std::size_t& at)
{
    int64_t number = 0;
    std::size_t count = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0 && count < 10) {
        number = number * 10 + (text[at] - '0');
        ++at;
        ++count;
    }
    return number > 65535 ? 0 : static_cast<int32_t>(number);
}

RtspTransport ParseRtspTransport(std::string_view value)
{
    RtspTransport transport;
    const std::string_view first = value.substr(0, value.find(','));
    const std::string_view lower = first.substr(0, first.find(';'));
    if (lower == "RTP/AVP/TCP") transport.kind = kRtspRtpTcp;
    else if (lower == "RTP/AVP/UDP" || lower == "RTP/AVP") transport.kind = kRtspRtpUdp;
    else if (lower == "RAW/RAW/TCP") transport.kind = kRtspRawTcp;
    else if (lower == "RAW/RAW/UDP") transport.kind = kRtspRawUdp;

    const std::size_t ports = first.find("client_port=");
    if (ports != std::string_view::npos) {
        std::size_t at = ports + 12;
        transport.client_rtp_port = Digits(first, at);
        transport.has_client_port = transport.client_rtp_port > 0;
        if (at < first.size() && first[at] == '-') {
            ++at;
            transport.client_rtcp_port = Digits(first, at);
        }
    }
    const std::size_t interleaved = first.find("interleaved=");
    if (interleaved != std::string_view::npos) {
        std::size_t end = first.find(';', interleaved);
        transport.interleave_text = std::string(first.substr(interleaved, (end == std::string_view::npos ? first.size() : end) - interleaved));
        std::size_t at = interleaved + 12;
        const std::size_t before = at;
        const int32_t rtp = Digits(first, at);
        if (at > before && rtp <= 255) {
            transport.has_interleaved = true;
            transport.interleaved_rtp = rtp;
            transport.interleaved_rtcp = rtp + 1 <= 255 ? rtp + 1 : rtp;
            if (at < first.size() && first[at] == '-') {
                ++at;
                const std::size_t second = at;
                const int32_t rtcp = Digits(first, at);
                if (at > second && rtcp <= 255) transport.interleaved_rtcp = rtcp;
            }
        }
    }
    return transport;
}

bool RtspRange(std::string_view request, double& start, bool& has_end, double& end)
{
    std::string_view value;
    if (!RtspHeader(request, "Range", value)) return false;
    const std::size_t npt = value.find("npt=");
    if (npt == std::string_view::npos) return false;
    const std::string text(value.substr(npt + 4));
    start = std::strtod(text.c_str(), nullptr);
    if (!(start >= 0) || start > 1e9) start = 0;            // "now", garbage, NaN
    has_end = false;
    end = 0;
    const std::size_t dash = text.find('-');
    if (dash != std::string::npos && dash + 1 < text.size() &&
        std::isdigit(static_cast<unsigned char>(text[dash + 1])) != 0) {
        end = std::strtod(text.c_str() + dash + 1, nullptr);
        has_end = end >= 0 && end <= 1e9;
    }
    return true;
}

std::size_t RtspMediaPathEnd(std::string_view url, std::size_t& path_start)
{
    path_start = 0;
    const std::size_t scheme = url.find("://");
    const std::size_t host = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t slash = url.find('/', host);
    if (slash == std::string_view::npos) return 0;
    path_start = slash;
    const std::size_t query = url.find('?', slash);
    const std::size_t stop = query == std::string_view::npos ? url.size() : query;
    for (std::size_t at = slash; at < stop; ++at) {
        for (std::string_view extension : kAcceptedExtensions) {
            if (url.substr(at, extension.size()) == extension && at + extension.size() <= stop)
                return at + extension.size();
        }
    }
    return 0;
}
