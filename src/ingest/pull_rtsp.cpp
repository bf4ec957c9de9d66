#include "ingest/pull_rtsp.h"

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
#include <functional>
#include <new>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr std::size_t kReceiveSize = 65536;
constexpr int kMinKeepAliveS = 5;

uint16_t Read16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

void ResolveControl(std::string_view control, const char* base, char (&url)[kRtspUrlSize])
{
    if (control.size() >= 7 && SameTextIgnoringCase(control.substr(0, 4), "rtsp") &&
        control.find("://") != std::string_view::npos) {
        CopyText(url, control);
    } else if (control == "*" || control.empty()) {
        CopyText(url, base);
    } else {
        const std::size_t base_length = std::strlen(base);
        const bool slash = base_length > 0 && base[base_length - 1] == '/';
        std::string joined(base);
        if (!slash) joined += '/';
        joined.append(control);
        CopyText(url, joined);
    }
}

}  // namespace

RtspReply ParseRtspReply(const char* data, std::size_t length)
{
    RtspReply reply;
    const std::string_view text(data, length);
    reply.status = StatusCode(text, "RTSP");
    const std::size_t head = HeadLength(text);
    if (head == 0) return reply;
    reply.head_length = static_cast<int>(head);
    bool have_base = false;
    ForEachHeaderField(text.substr(0, head), [&](std::string_view name, std::string_view value) {
        if (SameTextIgnoringCase(name, "Content-Length")) {
            reply.content_length = std::max<int64_t>(0, DecimalValue(value));
        } else if (SameTextIgnoringCase(name, "Session")) {
            const std::size_t semicolon = value.find(';');
            std::string_view id = value.substr(0, semicolon);
            while (!id.empty() && (id.back() == ' ' || id.back() == '\t')) id.remove_suffix(1);
            CopyText(reply.session, id);
            if (semicolon != std::string_view::npos) {
                const std::size_t at = value.find("timeout=", semicolon);
                if (at != std::string_view::npos) {
                    std::string_view number = value.substr(at + 8);
                    number = number.substr(0, number.find_first_not_of("0123456789"));
                    const int64_t seconds = DecimalValue(number);
                    if (seconds > 0 && seconds < 86400) reply.timeout_s = static_cast<int>(seconds);
                }
            }
        } else if (SameTextIgnoringCase(name, "Content-Base")) {
            CopyText(reply.content_base, value);
            have_base = true;
        } else if (SameTextIgnoringCase(name, "Content-Location") && !have_base) {
            CopyText(reply.content_base, value);
        }
    });
    if (static_cast<uint64_t>(reply.content_length) <= length - head) reply.length = static_cast<int>(head + reply.content_length);
    return reply;
}

bool SdpControlUrl(std::string_view sdp, bool media, const char* base, char (&url)[kRtspUrlSize])
{
    bool in_media = false;
    for (std::size_t at = 0; at < sdp.size();) {
        std::size_t end = sdp.find('\n', at);
        if (end == std::string_view::npos) end = sdp.size();
        std::string_view line = sdp.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.substr(0, 2) == "m=") {
            if (in_media || !media) return false;   // past the first media, or past the session part
            in_media = true;
            continue;
        }
        if (line.substr(0, 10) == "a=control:" && in_media == media) {
            ResolveControl(line.substr(10), base, url);
            return true;
        }
    }
    return false;
}

bool RtpPayload(const uint8_t* packet, std::size_t length, std::size_t& offset, std::size_t& payload_length)
{
    if (length < 12 || (packet[0] >> 6) != 2) return false;
    std::size_t header = 12 + 4 * static_cast<std::size_t>(packet[0] & 0x0F);
    if ((packet[0] & 0x10) != 0) {
        if (length < header + 4) return false;
        header += 4 + 4 * static_cast<std::size_t>(Read16(packet + header + 2));
    }
    const std::size_t padding = (packet[0] & 0x20) != 0 ? packet[length - 1] : 0;
    if (header + padding > length) return false;
    offset = header;
    payload_length = length - header - padding;
    return true;
}

void InterleavedDeframer::Reset()
{
    state_ = State::kIdle;
    header_length_ = 0;
    frame_got_ = 0;
    text_.clear();
    body_left_ = 0;
}

void InterleavedDeframer::Feed(const uint8_t* data, std::size_t length, const PayloadFn& payload)
{
    std::size_t at = 0;
    while (at < length) {
        switch (state_) {
        case State::kIdle:
            if (data[at] == '$') {
                state_ = State::kHeader;
                header_length_ = 0;
            } else if (data[at] >= 'A' && data[at] <= 'Z') {
                state_ = State::kText;                 // "RTSP/1.0 ..." or a request of the server
                text_.clear();
            } else {
                ++at;                                  // no frame starts here
            }
            break;
        case State::kHeader:
            header_[header_length_++] = data[at++];
            if (header_length_ == 4) {
                frame_length_ = Read16(header_ + 2);
                frame_got_ = 0;
                state_ = frame_length_ == 0 ? State::kIdle : State::kFrame;
            }
            break;
        case State::kFrame: {
            const std::size_t take = std::min(frame_length_ - frame_got_, length - at);
            if (header_[1] == 0) std::memcpy(frame_.data() + frame_got_, data + at, take);
            frame_got_ += take;
            at += take;
            if (frame_got_ < frame_length_) break;
            state_ = State::kIdle;
            std::size_t offset = 0;
            std::size_t size = 0;
            if (header_[1] == 0 && RtpPayload(frame_.data(), frame_length_, offset, size) && size > 0)
                payload(frame_.data() + offset, size);
            break;
        }
        case State::kText: {
            text_.push_back(static_cast<char>(data[at++]));
            const std::size_t size = text_.size();
            const bool head_ends = (size >= 2 && text_[size - 1] == '\n' && text_[size - 2] == '\n') ||
                                   (size >= 4 && text_.compare(size - 4, 4, "\r\n\r\n") == 0);
            if (!head_ends) {
                if (text_.size() > kRtspReplySize) Reset();   // no message: look for the next frame
                break;
            }
            body_left_ = ParseRtspReply(text_.data(), text_.size()).content_length;
            text_.clear();
            state_ = body_left_ > 0 ? State::kTextBody : State::kIdle;
            break;
        }
        case State::kTextBody: {
            const std::size_t take = static_cast<std::size_t>(std::min<int64_t>(body_left_, static_cast<int64_t>(length - at)));
            at += take;
            body_left_ -= static_cast<int64_t>(take);
            if (body_left_ == 0) state_ = State::kIdle;
            break;
        }
        }
    }
}

namespace {

// Reads the next reply into reply (its body into body, when asked) and takes it out of the
// session's buffer; interleaved frames ahead of it are dropped. False when the connection
// fails, stays silent for kPullSilenceMs, or the reply does not fit.
bool ReadReply(RtspPullSession& session, RtspReply& reply, std::string* body)
{
    for (;;) {
        while (session.response_length >= 4 && session.response[0] == '$') {
            const std::size_t frame = 4 + Read16(session.response + 2);
            if (session.response_length < frame) break;
            session.response_length -= frame;
            std::memmove(session.response, session.response + frame, session.response_length);
        }
        if (session.response_length > 0 && session.response[0] != '$') {
            reply = ParseRtspReply(reinterpret_cast<const char*>(session.response), session.response_length);
            if (reply.length > 0) {
                const std::size_t length = static_cast<std::size_t>(reply.length);
                if (body != nullptr)
                    body->assign(reinterpret_cast<const char*>(session.response) + reply.head_length, length - static_cast<std::size_t>(reply.head_length));
                session.response_length -= length;
                std::memmove(session.response, session.response + length, session.response_length);
                return true;
            }
        }
        if (session.response_length == sizeof session.response) return false;
        int wait = kPullSilenceMs;
        if (session.deadline_ms != 0) {
            const uint64_t now = GetTickMs();
            if (now >= session.deadline_ms) return false;
            wait = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(wait), session.deadline_ms - now));
        }
        const ssize_t n = ReceiveWithin(session.socket, session.response + session.response_length,
                                        sizeof session.response - session.response_length, wait);
        if (n <= 0) return false;
        session.response_length += static_cast<std::size_t>(n);
    }
}

// Sends the session's request and reads a "200" reply to it.
bool Exchange(RtspPullSession& session, const char* method, RtspReply& reply, std::string* body)
{
    if (SendAll(session.socket, session.request, std::strlen(session.request)) < 0) return false;
    if (!ReadReply(session, reply, body)) return false;
    if (reply.status == 200) return true;
    LogSystemMessage("RTSP %s answered [%d]\n", method, reply.status);
    return false;
}

std::unique_ptr<RtspPullSession> Failed(std::unique_ptr<RtspPullSession> session)
{
    LogSystemMessage("Can not connect rtsp server\n");
    if (session != nullptr) CloseSocket(session->socket);
    return nullptr;
}

}  // namespace

std::unique_ptr<RtspPullSession> rtsp_pull_open(const char* host, int port, const char* path, const std::string& authority,
                                                uint64_t deadline_ms)
{
    LogSystemMessage("Open rtsp://%s:%d\n", host, port);
    const uint64_t now = GetTickMs();
    const int connect_ms = deadline_ms == 0 ? kPullConnectMs
                                            : static_cast<int>(std::min<uint64_t>(kPullConnectMs, deadline_ms > now ? deadline_ms - now : 0));
    const int fd = ConnectTcp(host, port, connect_ms);
    if (fd < 0) return Failed(nullptr);
    std::unique_ptr<RtspPullSession> session(new (std::nothrow) RtspPullSession);
    if (session == nullptr) {
        CloseSocket(fd);
        return Failed(nullptr);
    }
    RtspPullSession& s = *session;
    s.socket = fd;
    s.deadline_ms = deadline_ms;
    SetSocketTimeouts(fd, kPullSilenceMs, kPullSilenceMs);
    FormatText(s.url, "rtsp://%s/%s", authority.c_str(), path);

    FormatText(s.request, "DESCRIBE rtsp://%s/%s RTSP/1.0\r\nCSeq: %d\r\nAccept: application/sdp\r\nUser-Agent: Corvatelix RTSP Stream\r\n\r\n",
               authority.c_str(), path, ++s.cseq);
    RtspReply reply;
    std::string sdp;
    if (!Exchange(s, "DESCRIBE", reply, &sdp)) return Failed(std::move(session));
    LogSystemMessage("DESCRIBE response\n");
    const char* base = reply.content_base[0] != '\0' ? reply.content_base : s.url;
    char track[kRtspUrlSize];
    if (!SdpControlUrl(sdp, true, base, track)) FormatText(track, "%s/trackID=%d", s.url, 1);
    if (!SdpControlUrl(sdp, false, base, s.play_url) || std::strcmp(s.play_url, base) == 0) CopyText(s.play_url, s.url);

    FormatText(s.request, "SETUP %s RTSP/1.0\r\nCSeq:%d\r\nTransport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\nUser-Agent: Corvatelix RTSP Stream\r\n\r\n",
               track, ++s.cseq, 0, 1);
    if (!Exchange(s, "SETUP", reply, nullptr)) return Failed(std::move(session));
    LogSystemMessage("SETUP 1 response \n");
    if (reply.session[0] != '\0') CopyText(s.session, reply.session);
    if (reply.timeout_s > 0) s.timeout_s = reply.timeout_s;

    FormatText(s.request, "PLAY %s RTSP/1.0\r\nCSeq:%d\r\nSession: %s\r\nRange: npt=0.000-\r\nUser-Agent: Corvatelix RTSP Stream\r\n\r\n",
               s.play_url, ++s.cseq, s.session);
    if (!Exchange(s, "PLAY", reply, nullptr)) return Failed(std::move(session));
    LogSystemMessage("PLAY response \n");
    return session;
}

void rtsp_pull_teardown(std::unique_ptr<RtspPullSession> session)
{
    if (session == nullptr) return;
    RtspPullSession& s = *session;
    FormatText(s.request, "TEARDOWN %s RTSP/1.0\r\nCSeq:%d\r\nSession: %s\r\nUser-Agent: Corvatelix RTSP Stream\r\n\r\n",
               s.play_url, ++s.cseq, s.session);
    bool answered = false;
    if (SendAll(s.socket, s.request, std::strlen(s.request)) > 0 && PollOne(s.socket, POLLIN, 500) > 0) {
        uint8_t answer[2048];
        answered = ReceiveBytes(s.socket, answer, sizeof answer, MSG_DONTWAIT) > 0;
    }
    // At shutdown the wait above ends at once; the missing answer is no news then.
    if (!answered && !ProcessStopRaised()) LogSystemMessage("Can not connect rtsp server\n");
    CloseSocket(s.socket);
}

bool ProbeRtspSource(const ChannelRecord& channel, int budget_ms, const PullProbeSink& sink)
{
    const SourceRecord& source = *channel.FirstSource();
    const uint64_t until = GetTickMs() + static_cast<uint64_t>(std::max(0, budget_ms));
    std::unique_ptr<RtspPullSession> session =
        rtsp_pull_open(source.host, source.port, source.path(), SourceAuthority(channel.src), until);
    if (session == nullptr) return false;
    InterleavedDeframer deframer;
    bool more = true;
    const auto feed = [&](const uint8_t* bytes, std::size_t length) {
        deframer.Feed(bytes, length, [&](const uint8_t* payload, std::size_t size) { more = more && sink(payload, size); });
    };
    feed(session->response, session->response_length);
    session->response_length = 0;
    std::vector<uint8_t> data(kReceiveSize);
    for (uint64_t now = GetTickMs(); more && now < until && !PullStopping(); now = GetTickMs()) {
        const ssize_t n = ReceiveWithin(session->socket, data.data(), data.size(), static_cast<int>(std::min<uint64_t>(200, until - now)));
        if (n == -2) continue;
        if (n <= 0) break;
        feed(data.data(), static_cast<std::size_t>(n));
    }
    rtsp_pull_teardown(std::move(session));
    return true;
}

// Receives one session's stream into the ring until it goes quiet or fails, is no longer
// wanted or the channel reader stops. Servers end a session that shows no life for its
// time-out; an OPTIONS in the session every half of it keeps the session open.
static void ReceiveRtspSession(RtspPullSession& session, const ChannelRecord& channel, const TsSlotWriter& writer,
                               DemandGate& demand, const std::function<void(const uint8_t*, std::size_t)>& feed,
                               std::vector<uint8_t>& data)
{
    const int fd = session.socket;
    const int64_t slots_before = writer.slots();
    bool reported = false;
    feed(session.response, session.response_length);     // what came with the PLAY reply
    session.response_length = 0;
    const uint64_t keep_alive_ms = static_cast<uint64_t>(std::max(kMinKeepAliveS, session.timeout_s / 2)) * 1000;
    uint64_t last_data_ms = GetTickMs();
    uint64_t next_keep_alive_ms = last_data_ms + keep_alive_ms;
    while (!PullStopping() && demand.Wanted()) {
        uint64_t now = GetTickMs();
        if (now >= next_keep_alive_ms) {
            FormatText(session.request, "OPTIONS %s RTSP/1.0\r\nCSeq:%d\r\nSession: %s\r\nUser-Agent: Corvatelix RTSP Stream\r\n\r\n",
                       session.play_url, ++session.cseq, session.session);
            if (SendAll(fd, session.request, std::strlen(session.request)) < 0) break;
            next_keep_alive_ms = now + keep_alive_ms;
        }
        const uint64_t silent_until = last_data_ms + kPullSilenceMs;
        if (now >= silent_until) break;
        const int wait = static_cast<int>(std::min(next_keep_alive_ms, silent_until) - now);
        const ssize_t n = ReceiveWithin(fd, data.data(), data.size(), std::max(wait, 1));
        if (n == -2) continue;
        if (n <= 0) break;
        last_data_ms = GetTickMs();
        feed(data.data(), static_cast<std::size_t>(n));
        if (!reported && writer.slots() > slots_before) {
            LogSystemMessage("head=[%d] tail=[%d], length=[%d]\n", channel.input_index.load(), channel.time_index.load(), kTsBlockSize);
            reported = true;
        }
    }
}

void RunRtspPull(ChannelRecord& channel, int32_t channel_index)
{
    SourceRecord& source = *channel.FirstSource();
    const int number = channel_index + 1;
    channel.rtsp_reconnect.store(0);
    std::shared_ptr<RealBuffer> buffer = NewRing(channel, channel_index);
    if (buffer == nullptr) return;
    const std::string authority = SourceAuthority(channel.src);
    std::vector<ThreadRecord*> recorders;
    bool recording = false;
    TsSlotWriter writer(channel, *buffer, channel.rtsp_reconnect);
    auto deframer = std::make_unique<InterleavedDeframer>();
    std::vector<uint8_t> data(kReceiveSize);
    std::unique_ptr<RtspPullSession> session;
    const auto feed = [&](const uint8_t* bytes, std::size_t length) {
        deframer->Feed(bytes, length, [&](const uint8_t* payload, std::size_t size) { writer.Write(payload, size); });
    };

    DemandGate demand(channel, channel_index);
    while (!PullStopping() && demand.AwaitDemand()) {
        session = rtsp_pull_open(source.host, source.port, source.path(), authority);
        if (session == nullptr) {
            source.socket.store(-1);
            LogSystemMessage("CH [%d]: can not connect rtsp://%s:%d\n", number, source.host, source.port);
            PauseUnlessStopping(kPullRetryMs);
            continue;
        }
        const int fd = session->socket;
        source.socket.store(fd);
        LogSystemMessage("CH [%d]: connect rtsp://%s:%d\n", number, source.host, source.port);
        writer.Connected();
        deframer->Reset();
        if (!recording) {
            StartRecorders(channel, channel_index, buffer, true, recorders);
            recording = true;
        }
        const int64_t slots_before = writer.slots();
        ReceiveRtspSession(*session, channel, writer, demand, feed, data);
        if (PullStopping()) break;
        if (!demand.Wanted()) {
            rtsp_pull_teardown(std::move(session));
            writer.Lost();
            continue;
        }
        CloseSocket(fd);
        LogSystemMessage("HTTP Connection is disconneted and restart the connection\n");
        writer.Lost();
        session.reset();
        // A server that plays but sends no stream is asked again after the retry pause.
        if (writer.slots() == slots_before) PauseUnlessStopping(kPullRetryMs);
        else SleepMs(10);
    }
    rtsp_pull_teardown(std::move(session));
    source.socket.store(0);
    StopRecorders(recorders);
}
