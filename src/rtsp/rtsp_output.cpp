#include "rtsp/rtsp_output.h"

#include "core/log.h"
#include "core/sockets.h"
#include "rtsp/rtsp_service.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>

RtspOutput::RtspOutput(RtspConnection& conn, bool raw_kinds_bare) : conn_(conn), raw_kinds_bare_(raw_kinds_bare) {}

RtspOutput::~RtspOutput()
{
    if (udp_ >= 0) CloseRtspUdpSocket(udp_);
}

bool RtspOutput::datagrams() const
{
    const int32_t kind = conn_.transport.load();
    return kind == kRtspRtpUdp || kind == kRtspRawUdp;
}

bool RtspOutput::Open(int thread_number, const char* log_text)
{
    if (!datagrams()) return true;
    udp_ = OpenUdpSocket(1, 0);
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<uint16_t>(conn_.client_rtp_port));
    if (inet_pton(AF_INET, conn_.client_ip, &to_.sin_addr) != 1 && udp_ >= 0) {
        CloseRtspUdpSocket(udp_);
        udp_ = -1;
    }
    if (log_text != nullptr) LogSystemMessage(log_text, thread_number, conn_.client_rtp_port, udp_);
    return udp_ >= 0;
}

std::size_t RtspOutput::Frame(const uint8_t* payload, std::size_t size, uint8_t* out)
{
    return FramePacket(out, conn_.transport.load(), raw_kinds_bare_, conn_.payload_type, conn_.interleaved_rtp, counters,
                       payload, size);
}

bool RtspOutput::SendDatagram(const uint8_t* packet, std::size_t length)
{
    if (udp_ < 0) return false;
    for (;;) {
        const ssize_t sent = sendto(udp_, packet, length, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to_),
                                    sizeof to_);
        if (sent >= 0) {
            CountSent(conn_, static_cast<std::size_t>(sent));
            return true;
        }
        if (errno == EINTR) continue;
        // A full send buffer or a port that refused the last datagram is no reason to end.
        return errno == ENOBUFS || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED;
    }
}

bool RtspOutput::Send(const uint8_t* payload, std::size_t size)
{
    if (size > 2048) size = 2048;
    const std::size_t length = Frame(payload, size, packet_);
    if (datagrams()) return SendDatagram(packet_, length);
    if (!SendOnConnection(conn_, packet_, length)) return false;
    CountSent(conn_, length);
    return true;
}

bool SendOnConnection(RtspConnection& conn, const void* data, std::size_t length)
{
    std::lock_guard<std::mutex> held(conn.send_lock);
    return SendConnectionText(conn, data, length);
}
