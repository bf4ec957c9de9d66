#pragma once
// The HTTP pull client of source kind 5 ("http://" and "httpts://"): one GET, optionally with
// Basic credentials, then the reply's body, chunked or not, as the channel's transport stream;
// a new connection 10 s after a failed one and at once after a lost one.

#include "channels/channel_table.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The head of a source's reply.
struct HttpSourceHead {
    int     header_length = 0;    // bytes up to and including the terminator; 0 while incomplete
    int     status = 0;           // of an "HTTP/x.y NNN" first line; 0 for any other
    bool    chunked = false;      // "Transfer-Encoding: chunked"
    int64_t content_length = -1;  // -1 without "Content-Length"
};
// Reads the head at the start of reply: it ends at "\r\n\r\n", or failing that at "\n\n".
HttpSourceHead ParseHttpSourceHead(const char* reply, std::size_t length);

// A reply body as it arrives: chunked, of a known length, or up to the close. The body bytes
// of what is fed are written in place.
class HttpBodyReader {
public:
    explicit HttpBodyReader(const HttpSourceHead& head);
    // Decodes data[0..length) in place; the number of body bytes now at data.
    std::size_t Take(uint8_t* data, std::size_t length);
    bool Finished() const { return state_ == State::kDone; }
    // The chunk framing made no sense.
    bool Failed() const { return state_ == State::kBad; }

private:
    enum class State { kPlain, kSize, kExtension, kData, kDataEnd, kTrailer, kDone, kBad };
    // One byte of the framing: the chunk size line, the line end after a chunk, the trailer.
    void SizeByte(uint8_t c);
    void EndSizeLine();
    void DataEndByte(uint8_t c);
    void TrailerByte(uint8_t c);

    State    state_;
    int64_t  left_ = -1;          // plain: body bytes still to come (-1: up to the close); chunked: of this chunk
    int      digits_ = 0;
    bool     saw_cr_ = false;
    int      line_length_ = 0;
};

// The request for the source: "GET /path HTTP/1.1" with the URL's host (and port, when one is
// written) in Host, and the Authorization line when the source has credentials.
std::string HttpSourceRequest(const ChannelRecord& channel, const SourceRecord& source);

// Reads a source's reply until its head is complete (at most 8 KiB, within timeout_ms; reply
// grows to hold that). kOk with the head parsed and `got` bytes in reply; kUnavailable for
// another status than 200 (or none in time), kWrong for a 200 whose head does not end.
enum class HttpHeadResult { kOk, kUnavailable, kWrong };
HttpHeadResult ReceiveHttpSourceHead(int fd, std::vector<uint8_t>& reply, std::size_t& got, HttpSourceHead& head, int timeout_ms);

// The data thread of an HTTP source; runs until the channel reader stop flag is raised.
void RunHttpPull(ChannelRecord& channel, int32_t channel_index);
