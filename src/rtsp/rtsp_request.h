#pragma once
// Reading RTSP requests: where one ends in what a connection has received (players split a
// request over several reads or send several in one, and interleaved RTCP frames travel on
// the same connection), the header values, the Transport, Range and Scale words, and the
// media path of a request URL.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::size_t kRtspUrlLimit = 511;

enum class RtspUnit {
    kIncomplete,     // more bytes needed
    kRequest,        // a request of `length` bytes (head and body)
    kInterleaved,    // a "$" frame of `length` bytes to skip
    kTooLong,        // no request end within the limit: the connection cannot be read on
};

// What starts the buffer, and its length.
RtspUnit NextRtspUnit(std::string_view buffered, std::size_t limit, std::size_t& length);

// The value of the header `name` (matched at a line start, letter case ignored) up to its
// line end; false without it.
bool RtspHeader(std::string_view request, std::string_view name, std::string_view& value);
// A header's leading decimal number (at most 11 characters read); false without the header
// or without a digit.
bool RtspHeaderNumber(std::string_view request, std::string_view name, uint32_t& value);

// The request URL: the text after the method and a space up to the next space.
std::string_view RtspUrl(std::string_view request);

enum RtspTransportKind : int32_t {
    kRtspTransportNone = 0,
    kRtspRtpTcp        = 1,
    kRtspRtpUdp        = 2,
    kRtspRawTcp        = 3,
    kRtspRawUdp        = 4,
};

struct RtspTransport {
    int32_t kind = kRtspTransportNone;
    bool    has_client_port = false;
    int32_t client_rtp_port = 0;
    int32_t client_rtcp_port = 0;
    bool    has_interleaved = false;
    int32_t interleaved_rtp = 0;
    int32_t interleaved_rtcp = 1;
    std::string interleave_text;          // "interleaved=..." as the client wrote it
};
// The first transport of a Transport header value. "RTP/AVP" without a lower transport is UDP.
RtspTransport ParseRtspTransport(std::string_view value);

// "Range: npt=<start>-[<end>]" anywhere in the request; false without it.
bool RtspRange(std::string_view request, double& start, bool& has_end, double& end);

// The accepted extensions of a described file, exactly as written.
// Returns the end (exclusive) of the media path in url: the path begins at the first "/"
// after the scheme and host, and ends after the first accepted extension; 0 when the URL has
// no such path (then the extension is not supported).
std::size_t RtspMediaPathEnd(std::string_view url, std::size_t& path_start);
