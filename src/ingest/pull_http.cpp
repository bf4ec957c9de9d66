#include "ingest/pull_http.h"

#include "core/base64.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/sockets.h"
#include "core/text.h"
#include "ingest/network_input.h"
#include "ingest/on_demand.h"
#include "ingest/pull_common.h"
#include "ingest/recorders.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kHeadSize    = 8192;     // a longer head is refused
constexpr std::size_t kReceiveSize = 16 * kTsBlockSize;

int HexValue(uint8_t c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

HttpSourceHead ParseHttpSourceHead(const char* reply, std::size_t length)
{
    HttpSourceHead head;
    const std::string_view text(reply, length);
    head.header_length = static_cast<int>(HeadLength(text));
    head.status = StatusCode(text, "HTTP");
    if (head.header_length == 0) return head;
    ForEachHeaderField(text.substr(0, static_cast<std::size_t>(head.header_length)), [&](std::string_view name, std::string_view value) {
        if (SameTextIgnoringCase(name, "Transfer-Encoding") && ContainsTextIgnoringCase(value, "chunked")) head.chunked = true;
        else if (SameTextIgnoringCase(name, "Content-Length")) head.content_length = DecimalValue(value);
    });
    // A chunked body ignores any length given with it.
    if (head.chunked) head.content_length = -1;
    return head;
}

HttpBodyReader::HttpBodyReader(const HttpSourceHead& head)
    : state_(head.chunked ? State::kSize : State::kPlain), left_(head.chunked ? 0 : head.content_length)
{
    if (state_ == State::kPlain && left_ == 0) state_ = State::kDone;
}

void HttpBodyReader::EndSizeLine()
{
    if (digits_ == 0) {
        state_ = State::kBad;
    } else if (left_ == 0) {
        state_ = State::kTrailer;
        line_length_ = 0;
    } else {
        state_ = State::kData;
    }
}

void HttpBodyReader::SizeByte(uint8_t c)
{
    const int value = HexValue(c);
    if (value >= 0) {
        if (++digits_ > 15) state_ = State::kBad;   // no chunk is that long (nor fits left_)
        else left_ = left_ * 16 + value;
    } else if (c == ';' || c == ' ' || c == '\t' || c == '\r') {
        state_ = digits_ == 0 ? State::kBad : State::kExtension;
    } else if (c == '\n') {
        EndSizeLine();
    } else {
        state_ = State::kBad;
    }
}

void HttpBodyReader::DataEndByte(uint8_t c)
{
    if (c == '\r' && !saw_cr_) {
        saw_cr_ = true;
    } else if (c == '\n') {
        state_ = State::kSize;
        left_ = 0;
        digits_ = 0;
    } else {
        state_ = State::kBad;
    }
}

void HttpBodyReader::TrailerByte(uint8_t c)
{
    if (c == '\n') {
        if (line_length_ == 0) state_ = State::kDone;
        line_length_ = 0;
    } else if (c != '\r') {
        ++line_length_;
    }
}

std::size_t HttpBodyReader::Take(uint8_t* data, std::size_t length)
{
    std::size_t out = 0;
    std::size_t at = 0;
    const auto copy = [&](std::size_t take) {
        std::memmove(data + out, data + at, take);
        out += take;
        at += take;
    };
    while (at < length) {
        switch (state_) {
        case State::kPlain: {
            std::size_t take = length - at;
            if (left_ >= 0) take = static_cast<std::size_t>(std::min<int64_t>(left_, static_cast<int64_t>(take)));
            copy(take);
            if (left_ >= 0 && (left_ -= static_cast<int64_t>(take)) == 0) state_ = State::kDone;
            break;
        }
        case State::kSize: SizeByte(data[at++]); break;
        case State::kExtension:
            if (data[at++] == '\n') EndSizeLine();
            break;
        case State::kData: {
            const std::size_t take = static_cast<std::size_t>(std::min<int64_t>(left_, static_cast<int64_t>(length - at)));
            copy(take);
            left_ -= static_cast<int64_t>(take);
            if (left_ == 0) {
                state_ = State::kDataEnd;
                saw_cr_ = false;
            }
            break;
        }
        case State::kDataEnd: DataEndByte(data[at++]); break;
        case State::kTrailer: TrailerByte(data[at++]); break;
        case State::kDone:
        case State::kBad: return out;
        }
    }
    return out;
}

std::string HttpSourceRequest(const ChannelRecord& channel, const SourceRecord& source)
{
    const std::string host = SourceAuthority(channel.src);
    const std::string path = std::string("/") + source.path();
    char request[1024];
    if (source.credentials[0] == '\0') {
        FormatText(request, "GET %s HTTP/1.1\r\nHost: %s\r\n\r\n", path.c_str(), host.c_str());
    } else {
        const std::string encoded = base64_encode(reinterpret_cast<const uint8_t*>(source.credentials),
                                                  std::strlen(source.credentials), false);
        FormatText(request, "GET %s HTTP/1.1\r\nHost: %s\r\nAuthorization: Basic %s\r\n\r\n", path.c_str(), host.c_str(),
                   encoded.c_str());
    }
    return request;
}

HttpHeadResult ReceiveHttpSourceHead(int fd, std::vector<uint8_t>& reply, std::size_t& got, HttpSourceHead& head, int timeout_ms)
{
    got = 0;
    if (reply.size() < kHeadSize) reply.resize(kHeadSize);
    const uint64_t deadline = GetTickMs() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
        const uint64_t now = GetTickMs();
        const ssize_t n = now >= deadline ? -2 : ReceiveWithin(fd, reply.data() + got, kHeadSize - got, static_cast<int>(deadline - now));
        if (n > 0) got += static_cast<std::size_t>(n);
        head = ParseHttpSourceHead(reinterpret_cast<const char*>(reply.data()), got);
        if (head.header_length > 0 || n <= 0 || got == kHeadSize) break;
    }
    if (head.status != 200) return HttpHeadResult::kUnavailable;
    return head.header_length > 0 ? HttpHeadResult::kOk : HttpHeadResult::kWrong;
}

namespace {

void LogReply(int number, const std::vector<uint8_t>& reply, std::size_t got, const HttpSourceHead& head)
{
    char text[1025];
    const std::size_t shown = head.header_length > 0 ? static_cast<std::size_t>(head.header_length) : got;
    CopyText(text, std::string_view(reinterpret_cast<const char*>(reply.data()), shown));
    LogSystemMessage("CH [%d]: HTTP Cmd=[%s]\n", number, text);
}

}  // namespace

void RunHttpPull(ChannelRecord& channel, int32_t channel_index)
{
    SourceRecord& source = *channel.FirstSource();
    const int number = channel_index + 1;
    channel.http_reconnect.store(0);
    std::shared_ptr<RealBuffer> buffer = NewRing(channel, channel_index);
    if (buffer == nullptr) return;
    const std::string request = HttpSourceRequest(channel, source);
    std::vector<ThreadRecord*> recorders;
    bool recording = false;
    TsSlotWriter writer(channel, *buffer, channel.http_reconnect);
    std::vector<uint8_t> data(std::max(kHeadSize, kReceiveSize));
    DemandGate demand(channel, channel_index);

    while (!PullStopping() && demand.AwaitDemand()) {
        const int fd = ConnectTcp(source.host, source.port);
        if (fd < 0) {
            source.socket.store(-1);
            LogSystemMessage("CH [%d]: can not connect http://%s:%d\n", number, source.host, source.port);
            PauseUnlessStopping(kPullRetryMs);
            continue;
        }
        source.socket.store(fd);
        LogSystemMessage("CH [%d]: connect http://%s:%d\n", number, source.host, source.port);
        SetSocketTimeouts(fd, kPullSilenceMs, kPullSilenceMs);
        LogSystemMessage("CH [%d]: HTTP Cmd=[%s]\n", number, request.c_str());
        std::size_t got = 0;
        HttpSourceHead head;
        const HttpHeadResult result = SendAll(fd, request.data(), request.size()) < 0
                                          ? HttpHeadResult::kUnavailable
                                          : ReceiveHttpSourceHead(fd, data, got, head, kPullSilenceMs);
        if (got > 0) LogReply(number, data, got, head);
        if (result != HttpHeadResult::kOk) {
            if (result == HttpHeadResult::kUnavailable) LogSystemMessage("CH [%d]: is not available\n", number);
            else LogSystemMessage("CH [%d]: HTTP wrong response\n", number);
            CloseSocket(fd);
            PauseUnlessStopping(kPullRetryMs);
            continue;
        }
        const std::size_t leftover = got - static_cast<std::size_t>(head.header_length);
        if (leftover > 0) LogSystemMessage("CH [%d]:  HTTP Header contains TS Data [%d] Bytes\n", number, static_cast<int>(leftover));
        else LogSystemMessage("CH [%d]: Normal HTTP Header \n", number);

        HttpBodyReader body(head);
        writer.Connected();
        const int64_t slots_before = writer.slots();
        writer.Write(data.data() + head.header_length, body.Take(data.data() + head.header_length, leftover));
        if (!recording) {
            StartRecorders(channel, channel_index, buffer, true, recorders);
            recording = true;
        }
        while (!PullStopping() && !body.Finished() && !body.Failed() && demand.Wanted()) {
            const ssize_t n = ReceiveWithin(fd, data.data(), kReceiveSize, kPullSilenceMs);
            if (n <= 0) break;
            writer.Write(data.data(), body.Take(data.data(), static_cast<std::size_t>(n)));
        }
        CloseSocket(fd);
        if (PullStopping()) break;
        if (!demand.Wanted()) {
            writer.Lost();
            continue;
        }
        LogSystemMessage("HTTP Connection is disconneted and restart the connection\n");
        writer.Lost();
        // A source that answers but sends no stream is asked again after the retry pause.
        if (writer.slots() == slots_before) PauseUnlessStopping(kPullRetryMs);
        else SleepMs(10);
    }
    source.socket.store(0);
    StopRecorders(recorders);
}
