#pragma once
// One REST request of the admin program: a fresh connection to the server's HTTP port, the
// request line sent, the answer read until the server closes it (at most 30 seconds and at
// most the command's buffer).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

constexpr int kRestAnswerWaitMs = 30000;

enum class RestOutcome { kAnswered, kConnectFailed, kReadFailed };

struct RestEndpoint {
    std::string address;   // dotted IPv4
    uint16_t    port = 0;
};

// Sends request and hands each block of the answer to take as it arrives, until the server
// closes, take returns false or the 30 seconds are over (kReadFailed). Without take the
// connection is closed right after sending.
using RestBlockTaker = std::function<bool(std::string_view block)>;
RestOutcome RestStream(const RestEndpoint& server, std::string_view request, const RestBlockTaker& take);
// Sends request and reads the answer into answer (at most buffer_size - 1 bytes; reading
// stops there). With buffer_size 0 the connection is closed right after sending.
RestOutcome RestExchange(const RestEndpoint& server, std::string_view request, std::size_t buffer_size,
                         std::string& answer);

// The length style (below) over an answer read block by block: the head is held until its
// blank line (at most kRestHeadLimit bytes), then the body goes to emit as it comes, so a list
// of any length passes through one block of memory.
constexpr std::size_t kRestHeadLimit = 65536;
class LengthStyleReader {
public:
    explicit LengthStyleReader(std::function<void(std::string_view)> emit) : emit_(std::move(emit)) {}
    // Takes the next block; false once nothing more is wanted (the announced body is whole,
    // a 404 head, a head past its limit).
    bool Take(std::string_view block);
    // Emits the closing "\r\n".
    void Finish() { emit_("\r\n"); }

private:
    bool TakeHead(std::string_view block);
    std::function<void(std::string_view)> emit_;
    std::string head_;
    bool        in_body_ = false;
    bool        done_    = false;
    long long   left_    = -1;      // body bytes still announced; -1 without a Content-Length
};

// The result style: with "200 OK", the text after "result=" to the end, or "\r\n\r\n" without
// "result="; without "200 OK", "\r\n".
std::string ResultStyle(std::string_view answer);
// The length style: the body after the header block, as long as its Content-Length says (the
// whole rest without one), then "\r\n"; only "\r\n" for a "404 Not Found" head.
std::string LengthStyle(std::string_view answer);
// The audience log lines of an answer, each without its "month/day/year" date, then "\n".
// Nothing at all when the date occurs nowhere after "200 OK"; "\n" without "200 OK".
std::string ChannelLogStyle(std::string_view answer, std::string_view month, std::string_view day,
                            std::string_view year);
