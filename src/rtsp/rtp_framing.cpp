#include "rtsp/rtp_framing.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/threads.h"
#include "rtsp/rtsp_request.h"
#include "rtsp/rtsp_service.h"

#include <cstring>
#include <poll.h>

void WriteRtpHeader(uint8_t* out, int32_t payload_type, RtpCounters& counters)
{
    out[0] = 0x80;
    out[1] = static_cast<uint8_t>(payload_type & 0x7F);
    out[2] = static_cast<uint8_t>(counters.sequence >> 8);
    out[3] = static_cast<uint8_t>(counters.sequence);
    out[4] = static_cast<uint8_t>(counters.timestamp >> 24);
    out[5] = static_cast<uint8_t>(counters.timestamp >> 16);
    out[6] = static_cast<uint8_t>(counters.timestamp >> 8);
    out[7] = static_cast<uint8_t>(counters.timestamp);
    out[8] = 0x2A;
    out[9] = 0x55;
    out[10] = 0xA9;
    out[11] = 0xE8;
    ++counters.sequence;
    counters.timestamp += kRtpTimestampStep;
}

void WriteInterleavePrefix(uint8_t* out, uint8_t channel, uint16_t length)
{
    out[0] = 0x24;
    out[1] = channel;
    out[2] = static_cast<uint8_t>(length >> 8);
    out[3] = static_cast<uint8_t>(length);
}

std::size_t FramePacket(uint8_t* out, int32_t transport_kind, bool raw_kinds_bare, int32_t payload_type,
                        uint8_t channel, RtpCounters& counters, const uint8_t* payload, std::size_t payload_size)
{
    int32_t kind = transport_kind;
    if (!raw_kinds_bare) {
        if (kind == kRtspRawTcp) kind = kRtspRtpTcp;          // live: the raw kinds carry RTP
        if (kind == kRtspRawUdp) kind = kRtspRtpUdp;
    }
    if (kind == kRtspTransportNone) kind = kRtspRtpTcp;
    std::size_t at = 0;
    switch (kind) {
    case kRtspRtpTcp:
        WriteInterleavePrefix(out, channel, static_cast<uint16_t>(kRtpHeaderBytes + payload_size));
        WriteRtpHeader(out + kInterleavePrefixSize, payload_type, counters);
        at = kInterleavePrefixSize + kRtpHeaderBytes;
        break;
    case kRtspRtpUdp:
        WriteRtpHeader(out, payload_type, counters);
        at = kRtpHeaderBytes;
        break;
    case kRtspRawTcp:
        WriteInterleavePrefix(out, channel, static_cast<uint16_t>(payload_size));
        at = kInterleavePrefixSize;
        break;
    default:                                                  // raw UDP: the payload alone
        break;
    }
    if (payload_size > 0) std::memcpy(out + at, payload, payload_size);
    return at + payload_size;
}

namespace {

struct ReceiveNames {
    const char* start;
    const char* got;
    const char* leave;
};
constexpr ReceiveNames kNames[kRtspReceiveThreads] = {
    {"RTP_DataThread_0[%d]: Start RTP Data Thread \n", "RTP_DataThread_0[%d]: iReturn=%d \n",
     "RTP_DataThread_0[%d]: Leave RTP Data Thread \n"},
    {"RTCP_DataThread_1[%d]: Start RTCP Data Thread \n", "RTCP_DataThread_1[%d]: iReturn=%d\n",
     "RTCP_DataThread_1[%d]: Leave RTCP Data Thread \n"},
    {"RTP_DataThread_2[%d]: Start RTP Data Thread \n", "RTP_DataThread_2[%d]: iReturn=%d\n",
     "RTP_DataThread_2[%d]: Leave RTP Data Thread \n"},
    {"RTCP_DataThread_3[%d]: Start RTCP Data Thread \n", "RTCP_DataThread_3[%d]: iReturn=%d\n",
     "RTCP_DataThread_3[%d]: Leave RTCP Data Thread \n"},
};

constexpr uint64_t kReceiveLogGapMs = 1000;

// Reads and drops what the player sends to one of the server's ports until the session or
// the service ends (noticed within half a second).
void RunReceiveThread(RtspConnection& conn, int slot)
{
    const int number = ThreadNumber();
    LogSystemMessage(kNames[slot].start, number);
    uint8_t datagram[1024];
    while (g_rtsp_stop_state.load() == 0 && conn.stop.load() == 0 && conn.receive_quit[slot].load() == 0) {
        const int fd = conn.receive_socket[slot].load();
        if (fd < 0) break;
        const int ready = PollOne(fd, POLLIN, 500);
        if (ready < 0) break;
        if (ready == 0) continue;
        const ssize_t got = ReceiveBytes(fd, datagram, sizeof datagram, 0);
        const uint64_t now = GetTickMs();
        // A player's reports come every few seconds; anything faster is a stream that lands
        // on the port by mistake, and is logged once a second per session, not per datagram.
        uint64_t next_log = conn.receive_log_ms.load();
        if (now >= next_log && conn.receive_log_ms.compare_exchange_strong(next_log, now + kReceiveLogGapMs))
            LogSystemMessage(kNames[slot].got, number, static_cast<int>(got));
        if (got > 0) conn.last_heard_ms.store(now);
    }
    CloseReceiveSocket(conn, slot);
    conn.receive_state[slot].store(kConnThreadDone);         // the last access to the session
    NotifyFinished(g_rtsp_service);
    LogSystemMessage(kNames[slot].leave, number);
}

}  // namespace

int32_t RTP_DataThread_0(void* connection)
{
    RunReceiveThread(*static_cast<RtspConnection*>(connection), 0);
    EndThread();
}

int32_t RTCP_DataThread_1(void* connection)
{
    RunReceiveThread(*static_cast<RtspConnection*>(connection), 1);
    EndThread();
}

int32_t RTP_DataThread_2(void* connection)
{
    RunReceiveThread(*static_cast<RtspConnection*>(connection), 2);
    EndThread();
}

int32_t RTCP_DataThread_3(void* connection)
{
    RunReceiveThread(*static_cast<RtspConnection*>(connection), 3);
    EndThread();
}
