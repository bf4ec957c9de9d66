#include "ingest/pull_rtmp.h"

#include "core/byte_order.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "ingest/network_input.h"
#include "ingest/on_demand.h"
#include "ingest/pull_common.h"
#include "ingest/recorders.h"
#include "ingest/rtmp_remux.h"
#include "rtmp/amf0.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

namespace {

constexpr int kCommandStream = 3;
constexpr int kControlStream = 2;
constexpr int kPlayStream    = 8;

// Numbers the connect requests of all RTMP channels.
std::atomic<int> g_connect_transaction{0};

bool Stopping() { return PullStopping() || g_rtmp_stop_state.load() != 0; }

void Put32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// A value of a metadata property: 1 with a number, 2 with a text, 0 without.
int Property(const RtmpMessage& message, const char* name, double& number, char* text, std::size_t text_size)
{
    uint8_t value[256];
    const uint8_t* end = message.body + message.body_kept;
    const int found = AMF0_FindProperty(message.body, end, name, value, sizeof value, static_cast<int>(message.body_kept));
    if (found == 1) number = AMF0_GetNumber(value);
    if (found == 2 && text != nullptr) CopyTextN(text, text_size, reinterpret_cast<const char*>(value));
    return found;
}

}  // namespace

RtmpNames RtmpNamesOf(const char* src)
{
    RtmpNames names;
    std::string_view rest(src);
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
    const std::size_t slash = rest.find('/');
    const std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    const std::size_t last = path.rfind('/');
    const std::string_view app = last == std::string_view::npos ? std::string_view() : path.substr(0, last);
    CopyText(names.app, app);
    CopyText(names.stream, last == std::string_view::npos ? path : path.substr(last + 1));
    CopyText(names.tc_url, "rtmp://" + SourceAuthority(src) + "/" + std::string(app));
    return names;
}

bool ParseOnMetaData(const RtmpMessage& message, RtmpMetadata& out)
{
    if (message.type != kRtmpAmf0Data) return false;
    uint8_t first[32];
    const uint8_t* end = message.body + message.body_kept;
    if (message.body_kept < 1 || message.body[0] != kAmf0String || AMF0_GetValue(message.body, end, first, sizeof first) < 0 ||
        std::strcmp(reinterpret_cast<const char*>(first), "onMetaData") != 0)
        return false;
    out = RtmpMetadata{};
    Property(message, "width", out.width, nullptr, 0);
    Property(message, "height", out.height, nullptr, 0);
    Property(message, "framerate", out.framerate, nullptr, 0);
    if (Property(message, "videocodecid", out.videocodecid, out.videocodec, sizeof out.videocodec) == 2) out.videocodecid = -1.0;
    if (Property(message, "audiocodecid", out.audiocodecid, out.audiocodec, sizeof out.audiocodec) == 2) out.audiocodecid = -1.0;
    Property(message, "videodatarate", out.videodatarate, nullptr, 0);
    Property(message, "audiodatarate", out.audiodatarate, nullptr, 0);
    return true;
}

void LogMetadata(int number, const RtmpMetadata& m)
{
    const double total = m.videodatarate + m.audiodatarate;
    const int bitrate = total > 0 && total < 2e9 ? static_cast<int>(total) : 0;
    // A stream that names no data rate gets no sleep time rather than a division by zero.
    const int sleep_time = bitrate > 0 ? static_cast<int>((1.0 - g_config.bitrate_constant) * 1452.0 * 4000.0 / bitrate) : 0;
    LogSystemMessage("RTMPDataThread CH[%d], IN: width=[%5.1f], height=[%5.1f] framerate=[%5.1f]\n", number, m.width, m.height,
                     m.framerate);
    if (m.videocodecid == -1.0)
        LogSystemMessage("RTMPDataThread CH[%d], IN: videocodecid=[%s] videodatarate=[%5.1f]\n", number, m.videocodec, m.videodatarate);
    else
        LogSystemMessage("RTMPDataThread CH[%d], IN: videocodecid=[%5.1f] videodatarate=[%5.1f]\n", number, m.videocodecid, m.videodatarate);
    if (m.audiocodecid == -1.0)
        LogSystemMessage("RTMPDataThread CH[%d], IN: audiocodecid=[%s] audiodatarate=[%5.1f]\n", number, m.audiocodec, m.audiodatarate);
    else
        LogSystemMessage("RTMPDataThread CH[%d], IN: audiocodecid=[%5.1f] audiodatarate=[%5.1f]\n", number, m.audiocodecid, m.audiodatarate);
    LogSystemMessage("RTMPDataThread CH[%d], IN: Bitrate=[%d], Sleeptime=[%d]\n", number, bitrate, sleep_time);
}

void BuildHandshakeC1(uint8_t (&c1)[kRtmpHandshakeSize], uint64_t tick)
{
    static constexpr char kLetters[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    thread_local std::mt19937 random{std::random_device{}()};
    std::memset(c1, 0, 8);
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(tick));
    for (int i = 1; i < 4 && i < length; ++i) c1[i] = static_cast<uint8_t>(digits[i]);
    std::uniform_int_distribution<int> pick(0, 61);
    for (int i = 8; i < kRtmpHandshakeSize; ++i) c1[i] = static_cast<uint8_t>(kLetters[pick(random)]);
}

int BuildConnectMessage(uint8_t* out, const RtmpNames& names, double transaction)
{
    uint8_t* body = out + 12;
    int n = 0;
    n += AMF0_PutString(body + n, "connect");
    n += AMF0_PutNumber(body + n, transaction);
    body[n++] = kAmf0Object;
    n += AMF0_PutName(body + n, "app");
    n += AMF0_PutString(body + n, names.app);
    n += AMF0_PutName(body + n, "tcUrl");
    n += AMF0_PutString(body + n, names.tc_url);
    n += AMF0_PutBooleanProperty(body + n, "fpad", 0);
    const struct { const char* name; double value; } numbers[] = {
        {"capabilities", 15.0}, {"audioCodecs", 3191.0}, {"videoCodecs", 252.0}, {"videoFunction", 1.0}};
    for (const auto& number : numbers) {
        n += AMF0_PutName(body + n, number.name);
        n += AMF0_PutNumber(body + n, number.value);
    }
    body[n++] = 0;
    body[n++] = 0;
    body[n++] = kAmf0ObjectEnd;
    RTMP_PutChunkHeader(out, 0, kCommandStream, 0, static_cast<uint32_t>(n), kRtmpAmf0Command, 0);
    return 12 + RTMP_InsertChunkHeaders(body, n);
}

bool ReadCommand(const RtmpMessage& message, char (&name)[64], double& transaction)
{
    if (message.type != kRtmpAmf0Command && message.type != kRtmpAmf3Command) return false;
    if (message.body_kept < 2) return false;                // an empty body has no body pointer
    const uint8_t* at = message.body + (message.type == kRtmpAmf3Command ? 1 : 0);
    const uint8_t* end = message.body + message.body_kept;
    if (at >= end || at[0] != kAmf0String) return false;
    uint8_t value[64];
    const int used = AMF0_GetValue(at, end, value, sizeof value);
    if (used < 0) return false;
    CopyText(name, reinterpret_cast<const char*>(value));
    at += used;
    uint8_t number[16];
    if (at >= end || at[0] != kAmf0Number || AMF0_GetValue(at, end, number, sizeof number) != 9) return false;
    transaction = AMF0_GetNumber(number);
    return true;
}

bool RtmpPeer::Send(const uint8_t* data, std::size_t length)
{
    if (SendAll(fd_, data, length) < 0) failed_ = true;
    return !failed_;
}

bool RtmpPeer::Answer(const RtmpMessage& message)
{
    if (message.type == kRtmpWindowAckSize && message.body_kept >= 4) {
        window_ = ReadBe32(message.body);
    } else if (message.type == kRtmpUserControl && message.body_kept >= 6 && message.body[0] == 0 && message.body[1] == 6) {
        uint8_t pong[12 + 6];
        RTMP_PutChunkHeader(pong, 0, kControlStream, 0, 6, kRtmpUserControl, 0);
        pong[12] = 0;
        pong[13] = 7;                                   // ping response, with the request's time
        std::memcpy(pong + 14, message.body + 2, 4);
        return Send(pong, sizeof pong);
    }
    return true;
}

long RtmpPeer::Feed(const uint8_t* data, std::size_t length, const RtmpChunkReader::MessageFn& each,
                    const RtmpChunkReader::MessageFn& on_start)
{
    const long used = reader_.Feed(data, length, [&](const RtmpMessage& message) { return Answer(message) && each(message); },
                                   on_start);
    if (used < 0 || failed_) return -1;
    received_ += static_cast<uint64_t>(used);
    if (window_ > 0 && received_ - acknowledged_ >= window_) {
        uint8_t ack[12 + 4];
        RTMP_PutChunkHeader(ack, 0, kControlStream, 0, 4, kRtmpAcknowledgement, 0);
        Put32(ack + 12, static_cast<uint32_t>(received_));
        if (!Send(ack, sizeof ack)) return -1;
        acknowledged_ = received_;
    }
    return used;
}

bool RtmpPeer::Take(const uint8_t* data, std::size_t length, const RtmpChunkReader::MessageFn& each,
                    const RtmpChunkReader::MessageFn& on_start)
{
    return Feed(data, length, [&](const RtmpMessage& m) { each(m); return true; }, on_start) >= 0;
}

bool RtmpPeer::WaitFor(const Wanted& wanted, int timeout_ms)
{
    uint64_t deadline = GetTickMs() + static_cast<uint64_t>(timeout_ms);
    if (deadline_ != 0) deadline = std::min(deadline, deadline_);
    uint8_t block[kRtmpBlockSize];
    for (;;) {
        if (!pending_.empty()) {
            bool found = false;
            const long used = Feed(pending_.data(), pending_.size(), [&](const RtmpMessage& message) {
                found = wanted(message);
                return !found;
            });
            if (used < 0) return false;
            pending_.erase(pending_.begin(), pending_.begin() + used);
            if (found) return true;
        }
        const uint64_t now = GetTickMs();
        if (Stopping() || now >= deadline) return false;
        const ssize_t n = ReceiveWithin(fd_, block, sizeof block, static_cast<int>(deadline - now));
        if (n == -2) continue;
        if (n <= 0) return false;
        pending_.assign(block, block + n);
    }
}

namespace {

// A wait for the reply to the command with this transaction id; the stream id of a
// createStream's "_result" into stream_id when given. False for "_error" or none in 10 s.
bool AwaitResult(RtmpPeer& peer, double transaction, double* stream_id)
{
    bool accepted = false;
    const bool replied = peer.WaitFor([&](const RtmpMessage& message) {
        char name[64];
        double id = 0;
        if (!ReadCommand(message, name, id) || id != transaction) return false;
        accepted = std::strcmp(name, "_result") == 0;
        if (accepted && stream_id != nullptr) {
            // "_result", id, null (or an object), the new stream's id.
            const uint8_t* end = message.body + message.body_kept;
            const uint8_t* at = message.body + (message.type == kRtmpAmf3Command ? 1 : 0);
            uint8_t value[256];
            for (int k = 0; k < 3 && at < end; ++k) {
                const int used = AMF0_GetValue(at, end, value, sizeof value);
                if (used <= 0) return true;
                at += used;
            }
            if (at < end && at[0] == kAmf0Number && AMF0_GetValue(at, end, value, sizeof value) == 9) {
                const double number = AMF0_GetNumber(value);
                if (number >= 1 && number < 1e6) *stream_id = number;
            }
        }
        return true;
    }, kPullSilenceMs);
    return replied && accepted;
}

}  // namespace

int rtmp_pull_start(int channel_number, RtmpPeer& peer, const RtmpNames& names)
{
    uint8_t message[1024];
    const double transaction = static_cast<double>(g_connect_transaction.fetch_add(1) + 1);
    int length = BuildConnectMessage(message, names, transaction);
    if (!peer.Send(message, static_cast<std::size_t>(length))) return -1;
    LogSystemMessage("Send Connect command\n");
    if (!AwaitResult(peer, transaction, nullptr)) return -1;

    uint8_t* body = message + 8;
    RTMP_PutChunkHeader(message, 1, kControlStream, 0, 10, kRtmpUserControl, 0);
    const uint8_t buffer_length[10] = {0, 3, 0, 0, 0, 0, 0, 0, 0x01, 0x2C};   // stream 0, 300 ms
    std::memcpy(body, buffer_length, sizeof buffer_length);
    if (!peer.Send(message, 8 + sizeof buffer_length)) return -1;
    LogSystemMessage("Send Ping command\n");

    body = message + 12;
    int n = 0;
    body[n++] = 0;
    n += AMF0_PutString(body + n, "createStream");
    n += AMF0_PutNumber(body + n, 2.0);
    n += AMF0_PutNull(body + n);
    RTMP_PutChunkHeader(message, 0, kCommandStream, 0, static_cast<uint32_t>(n), kRtmpAmf3Command, 1);
    if (!peer.Send(message, static_cast<std::size_t>(12 + n))) return -1;
    LogSystemMessage("Send createStream command\n");
    double stream_id = 1;
    if (!AwaitResult(peer, 2.0, &stream_id)) return -1;

    n = 0;
    body[n++] = 0;
    n += AMF0_PutString(body + n, "play");
    n += AMF0_PutNumber(body + n, 0.0);
    n += AMF0_PutNull(body + n);
    n += AMF0_PutString(body + n, names.stream);
    n += AMF0_PutNumber(body + n, -2.0);
    n += AMF0_PutNumber(body + n, -1.0);
    RTMP_PutChunkHeader(message, 0, kPlayStream, 0, static_cast<uint32_t>(n), kRtmpAmf3Command, static_cast<uint32_t>(stream_id));
    // A long stream name takes more than one chunk; continuations name the play chunk stream.
    length = 12 + RTMP_InsertChunkHeaders(body, n, static_cast<uint8_t>(0xC0 | kPlayStream));
    if (!peer.Send(message, static_cast<std::size_t>(length))) return -1;
    LogSystemMessage("Send play command\n");

    RtmpMetadata metadata;
    if (!peer.WaitFor([&](const RtmpMessage& m) { return ParseOnMetaData(m, metadata); }, kPullSilenceMs)) {
        if (!Stopping()) LogSystemMessage("CH [%d]: RTMP no onMetaData in %d seconds\n", channel_number, kPullSilenceMs / 1000);
        return -1;
    }
    LogMetadata(channel_number, metadata);
    return static_cast<int>(peer.pending().size());
}

void rtmp_pull_stop(int socket)
{
    uint8_t message[64];
    uint8_t* body = message + 8;
    int n = 0;
    n += AMF0_PutString(body + n, "deleteStream");
    n += AMF0_PutNumber(body + n, 2.0);
    n += AMF0_PutNull(body + n);
    n += AMF0_PutNumber(body + n, 1.0);
    RTMP_PutChunkHeader(message, 1, kCommandStream, 0, static_cast<uint32_t>(n), kRtmpAmf0Command, 0);
    SendAll(socket, message, static_cast<std::size_t>(8 + n));
    LogSystemMessage("Send deleteStream command\n");
}

namespace {

// C0 and C1 out, S0, S1 and S2 in (3073 bytes, each receive within 10 s, and all before
// deadline_ms when it is not 0), S1 back as C2.
bool Handshake(int fd, uint64_t deadline_ms = 0)
{
    uint8_t c0c1[1 + kRtmpHandshakeSize];
    c0c1[0] = 3;
    uint8_t c1[kRtmpHandshakeSize];
    BuildHandshakeC1(c1, GetTickMs());
    std::memcpy(c0c1 + 1, c1, sizeof c1);
    if (SendAll(fd, c0c1, sizeof c0c1) < 0) return false;
    LogSystemMessage("RTMP  Send C0/C1\n");
    uint8_t reply[1 + 2 * kRtmpHandshakeSize];
    std::size_t got = 0;
    while (got < sizeof reply) {
        int wait = kPullSilenceMs;
        if (deadline_ms != 0) {
            const uint64_t now = GetTickMs();
            if (now >= deadline_ms) return false;
            wait = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(wait), deadline_ms - now));
        }
        const ssize_t n = ReceiveWithin(fd, reply + got, sizeof reply - got, wait);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
        LogSystemMessage("RTMP  Recv S0/S1/S2 length [%d]\n", static_cast<int>(got));
    }
    if (SendAll(fd, reply + 1, kRtmpHandshakeSize) < 0) return false;
    LogSystemMessage("RTMP  Send C2\n");
    return true;
}

// A started stream: the new stream's flags, then the wait for the video sequence header (the
// "PPS" of the log), every media message on the way handed to the remuxer. False when it did
// not come.
bool AwaitSequenceHeader(ChannelRecord& channel, RtmpPeer& peer, RtmpRemuxer& remuxer)
{
    channel.has_input.store(0);
    channel.rtmp_reconnect.store(0);
    remuxer.Restart();
    const bool found = peer.WaitFor(
        [&remuxer](const RtmpMessage& m) {
            const bool configured = remuxer.has_video_config();
            remuxer.Take(m);
            return m.type == kRtmpVideo && (remuxer.has_video_config() && !configured);
        },
        kPullSilenceMs);
    if (found) {
        LogSystemMessage("Found PPS Packet\n");
    } else if (!PullStopping()) {
        LogSystemMessage("NOT Found PPS Packet\n");
    }
    return found;
}

// Remuxes the stream (when streaming) into the ring until the peer goes silent, hangs up or
// sends what it cannot read, the pull stops or nobody wants the channel any more. Nothing goes
// into the ring before the first key frame. True when a key frame came on this connection.
bool StoreRemuxed(int number, int fd, RtmpPeer& peer, RtmpRemuxer& remuxer, bool streaming, DemandGate& demand)
{
    bool keyed = false;
    bool said_unsupported = false;
    const auto take = [&](const uint8_t* bytes, std::size_t length) {
        return peer.Take(bytes, length, [&](const RtmpMessage& m) {
            const RtmpRemuxer::Event event = remuxer.Take(m);
            if (!keyed && m.type == kRtmpVideo && remuxer.started()) {
                keyed = true;
                // The chunk format of the key frame's first header, as far as this block shows it.
                const int format = m.first_chunk >= 0 ? bytes[m.first_chunk] >> 6 : 0;
                LogSystemMessage("RTMP Find Type [%d] Video Packet\n", format);
            }
            if (event == RtmpRemuxer::Event::kUnsupported && !said_unsupported) {
                said_unsupported = true;
                LogSystemMessage("CH [%d]: RTMP codec [0x%x] is not supported: only H.264/HEVC video with AAC/MP3 audio\n",
                                 number, remuxer.unsupported_tag());
            }
            return true;
        });
    };
    if (streaming) {
        std::vector<uint8_t> rest;
        rest.swap(peer.pending());
        streaming = take(rest.data(), rest.size());
    }
    uint8_t block[kRtmpBlockSize];
    while (streaming && !PullStopping() && demand.Wanted()) {
        const ssize_t n = ReceiveWithin(fd, block, sizeof block, kPullSilenceMs);
        if (n <= 0) break;
        if (!take(block, static_cast<std::size_t>(n))) break;
    }
    return keyed;
}

}  // namespace

bool ProbeRtmpSource(const ChannelRecord& channel, int budget_ms,
                     const std::function<bool(const uint8_t* data, std::size_t length)>& sink)
{
    const SourceRecord& source = *channel.FirstSource();
    const uint64_t until = GetTickMs() + static_cast<uint64_t>(std::max(0, budget_ms));
    const int fd = ConnectTcp(source.host, source.port, budget_ms);
    if (fd < 0) return false;
    SetSocketTimeouts(fd, kPullSilenceMs, kPullSilenceMs);
    RtmpPeer peer(fd);
    peer.set_deadline(until);
    const bool started = Handshake(fd, until) && rtmp_pull_start(0, peer, RtmpNamesOf(channel.src)) >= 0;
    bool more = true;
    RtmpRemuxer remuxer([&](const uint8_t* block, int size) { more = more && sink(block, static_cast<std::size_t>(size)); });
    const auto take = [&](const uint8_t* bytes, std::size_t length) {
        return peer.Take(bytes, length, [&](const RtmpMessage& m) {
            remuxer.Take(m);
            return true;
        });
    };
    bool streaming = started;
    if (streaming) {
        std::vector<uint8_t> rest;
        rest.swap(peer.pending());
        streaming = take(rest.data(), rest.size());
    }
    uint8_t block[kRtmpBlockSize];
    for (uint64_t now = GetTickMs(); streaming && more && now < until && !PullStopping(); now = GetTickMs()) {
        const ssize_t n = ReceiveWithin(fd, block, sizeof block, static_cast<int>(std::min<uint64_t>(200, until - now)));
        if (n == -2) continue;
        if (n <= 0 || !take(block, static_cast<std::size_t>(n))) break;
    }
    if (started) rtmp_pull_stop(fd);
    CloseSocket(fd);
    return started;
}

void RunRtmpPull(ChannelRecord& channel, int32_t channel_index)
{
    SourceRecord& source = *channel.FirstSource();
    const int number = channel_index + 1;
    channel.rtmp_reconnect.store(0);
    std::shared_ptr<RealBuffer> buffer = NewRing(channel, channel_index);
    if (buffer == nullptr) return;
    const RtmpNames names = RtmpNamesOf(channel.src);
    std::vector<ThreadRecord*> recorders;
    bool recording = false;
    // One remuxer for the channel's run: a reconnection goes on with the same continuity counters.
    RtmpRemuxer remuxer([&](const uint8_t* block, int size) { StoreSlot(channel, *buffer, block, size); });

    DemandGate demand(channel, channel_index);
    while (!PullStopping() && demand.AwaitDemand()) {
        const int fd = ConnectTcp(source.host, source.port);
        if (fd < 0) {
            source.socket.store(-1);
            LogSystemMessage("CH [%d]: can not connect rtmp://%s:%d\n", number, source.host, source.port);
            PauseUnlessStopping(kPullRetryMs);
            continue;
        }
        source.socket.store(fd);
        LogSystemMessage("CH [%d]: connect rtmp://%s:%d\n", number, source.host, source.port);
        SetSocketTimeouts(fd, kPullSilenceMs, kPullSilenceMs);
        RtmpPeer peer(fd);
        bool streaming = Handshake(fd) && rtmp_pull_start(number, peer, names) >= 0;
        if (streaming) {
            if (!recording) {
                StartRecorders(channel, channel_index, buffer, true, recorders);
                recording = true;
            }
            streaming = AwaitSequenceHeader(channel, peer, remuxer);
        }
        const bool keyed = StoreRemuxed(number, fd, peer, remuxer, streaming, demand);
        if (PullStopping() || !demand.Wanted()) {
            rtmp_pull_stop(fd);
            SleepMs(1);
            CloseSocket(fd);
            if (PullStopping()) break;
            channel.has_input.store(0);           // nobody watches: new viewers wait for the next connection
            continue;
        }
        SleepMs(10);
        CloseSocket(fd);
        LogSystemMessage("RTMP Connection is disconneted and restart the connection\n");
        channel.has_input.store(0);
        channel.rtmp_reconnect.store(1);
        // A server that refuses the stream is asked again after the retry pause, not at once.
        if (!keyed) PauseUnlessStopping(kPullRetryMs);
        else SleepMs(10);
    }
    source.socket.store(0);
    StopRecorders(recorders);
}
