#include "ingest/network_input.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "ingest/dvb_parser.h"
#include "ingest/input_health.h"
#include "ingest/real_buffer.h"
#include "ingest/recorders.h"
#include "media/ts_timing.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int udp_receive_buffer_kb(int fd)
{
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return 0;
    return size / 2 / 1024;                     // the kernel reports twice what it grants for data
}

int open_udp_receiver(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::printf("[udpip]Server Open socket: Error, description=%d\n", fd);
        std::fflush(stdout);
        return -1;
    }
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        std::printf("[tcpip]setsockopt socket: Error, description=%d\n", fd);
        std::fflush(stdout);
        close(fd);
        return -1;
    }
    // Room for a burst of datagrams while the data thread is busy. Past the system's limit
    // only a privileged process gets what it asks.
    const int receive_buffer = g_config.udp_receive_buffer_kb * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_port        = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::printf("[udpip]Server Binding: Error, description=%d\n", fd);
        std::fflush(stdout);
        close(fd);
        return -1;
    }
    return fd;
}

static bool Stopping() { return g_channel_reader_stop.load() != 0; }

bool WaitReadable(int fd, int timeout_ms)
{
    const uint64_t deadline = GetTickMs() + static_cast<uint64_t>(timeout_ms);
    while (!Stopping()) {
        const uint64_t now = GetTickMs();
        if (now >= deadline) return false;
        const int slice = static_cast<int>(std::min<uint64_t>(200, deadline - now));
        if (PollOne(fd, POLLIN, slice) > 0) return true;
    }
    return false;
}

static bool ChangeMembership(int fd, const char* group, const char* interface_address, bool join)
{
    ip_mreq request{};
    if (inet_pton(AF_INET, group, &request.imr_multiaddr) != 1) return false;
    if (interface_address == nullptr || inet_pton(AF_INET, interface_address, &request.imr_interface) != 1)
        request.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request, sizeof request) != 0) return false;
    // Only this socket's own group: every socket is bound to its port on every address, and
    // two sources on one port (a channel's backup, a merged path, another channel) must not
    // receive each other's groups.
    const int own_groups_only = 0;
    if (join) setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &own_groups_only, sizeof own_groups_only);
    return true;
}

std::shared_ptr<RealBuffer> NewRing(ChannelRecord& channel, int32_t channel_index)
{
    channel.input_index.store(0);
    channel.time_index.store(0);
    channel.input_bytes.store(0);
    std::shared_ptr<RealBuffer> buffer(new (std::nothrow) RealBuffer);
    if (buffer == nullptr) {
        LogSystemMessage("Real Buffer allocated failed\n");
        return nullptr;
    }
    buffer->channel_index = channel_index;
    channel.SetBuffer(buffer);
    return buffer;
}

static bool IsGroupSource(const SourceRecord& source)
{
    return source.kind == kSourceRtpGroup || source.kind == kSourceUdpGroup;
}

int open_datagram_source(const SourceRecord& source, const char* primary)
{
    if (source.port <= 0 || source.port > 65535) return -1;
    const int fd = open_udp_receiver(static_cast<uint16_t>(source.port));
    if (fd >= 0 && IsGroupSource(source) && !ChangeMembership(fd, source.host, primary, true)) {
        LogSystemMessage("UDP IP_ADD_MEMBERSHIP ERROR\n");
        close(fd);
        return -1;
    }
    return fd;
}

void close_datagram_source(int fd, const SourceRecord& source, const char* primary)
{
    if (IsGroupSource(source)) ChangeMembership(fd, source.host, primary, false);
    CloseSocket(fd);
}

int OpenDatagramSource(SourceRecord& source, const char* primary, int number)
{
    int fd = -1;
    while (!Stopping()) {
        fd = open_datagram_source(source, primary);
        if (fd >= 0) break;
        source.socket.store(-1);
        LogSystemMessage("CH [%d]: Failed in UDP Media Source Port No [%d]\n", number, source.port);
        SleepMs(1000);
    }
    return fd;
}

void LogDatagramSource(const SourceRecord& source, int32_t kind, int number)
{
    switch (kind) {
    case kSourceUdpPort: LogSystemMessage("CH [%d]: UDP Media Source Port No [%d]\n", number, source.port); break;
    case kSourceRtpPort: LogSystemMessage("CH [%d]: RTP Media Source Port No [%d]\n", number, source.port); break;
    case kSourceUdpGroup:
        LogSystemMessage("CH [%d]: UDP Media Source IP [%s] Port No [%d]\n", number, source.host, source.port);
        break;
    default: LogSystemMessage("CH [%d]: RTP Media Source IP [%s] Port No [%d]\n", number, source.host, source.port); break;
    }
}

// Logs the source, then waits for its first datagram and logs that too.
static void AnnounceDatagramSource(const SourceRecord& source, int32_t kind, int number, int fd)
{
    LogDatagramSource(source, kind, number);
    while (!Stopping()) {
        if (!WaitReadable(fd, kFirstDatagramWaitMs)) continue;
        switch (kind) {
        case kSourceUdpPort: LogSystemMessage("CH [%d]: Get UDP Packet from Port No [%d]\n", number, source.port); break;
        case kSourceRtpPort: LogSystemMessage("CH [%d]: Get RTP Packet from Port No [%d]\n", number, source.port); break;
        case kSourceUdpGroup:
            LogSystemMessage("CH [%d]: Get UDP Packet from IP [%s] Port No [%d]\n", number, source.host, source.port);
            break;
        default:
            LogSystemMessage("CH [%d]: Get RTP Packet from IP [%s] Port No [%d]\n", number, source.host, source.port);
            break;
        }
        break;
    }
}

DatagramBatch::DatagramBatch(std::size_t datagram_size)
    : size_(datagram_size), scratch_(static_cast<std::size_t>(kDatagramBatch) * datagram_size)
{
}

int DatagramBatch::Receive(int fd, int flags)
{
    for (int i = 0; i < kDatagramBatch; ++i) {
        parts_[i] = {scratch_.data() + static_cast<std::size_t>(i) * size_, size_};
        messages_[i] = {};
        messages_[i].msg_hdr.msg_iov    = &parts_[i];
        messages_[i].msg_hdr.msg_iovlen = 1;
    }
    return recvmmsg(fd, messages_, kDatagramBatch, flags, nullptr);
}

void StoreDatagram(ChannelRecord& channel, RealBuffer& buffer, InputHealth& health, const uint8_t* data, int32_t length,
                   bool rtp, uint64_t now_ms)
{
    CountDatagram(health, data, static_cast<std::size_t>(length), rtp, now_ms);
    std::memcpy(buffer.slots[channel.input_index.load()].data, data, static_cast<std::size_t>(length));
    channel.has_input.store(1);
    write_slot(channel, buffer, length);
}

// Copies every datagram into the channel's ring until the server stops.
static void ReceiveDatagrams(ChannelRecord& channel, RealBuffer& buffer, int fd, bool rtp, InputHealth& health,
                             int number)
{
    SetSocketTimeouts(fd, 1000, 0);
    channel.has_input.store(0);
    // Datagrams are taken in batches into a scratch area of the thread's own and then copied
    // into their slots one by one, each published as it is written: receiving straight into
    // the slots ahead of the writer's index would let a reader or recorder copy a slot that is
    // still being written. A short nap after a small batch lets the next ones gather, so that
    // many quiet channels do not cost a wake-up per datagram.
    static_assert(kRtpSlotSize <= kRingSlotSize, "a datagram fits one slot");
    DatagramBatch batch(rtp ? kRtpSlotSize : kTsBlockSize);
    uint64_t last_datagram_ms = GetTickMs();
    while (!Stopping()) {
        const int got = batch.Receive(fd, MSG_WAITFORONE);
        if (got >= 1) {
            last_datagram_ms = GetTickMs();
            for (int i = 0; i < got; ++i) {
                const int32_t length = batch.Length(i);
                if (length < 1) continue;           // an empty datagram takes no slot
                StoreDatagram(channel, buffer, health, batch.Data(i), length, rtp, last_datagram_ms);
            }
            if (got < kDatagramBatch / 2) SleepMs(kDatagramNapMs);
        } else {
            if (Stopping()) break;
            LogSystemMessage("CH [%d]: nInput_length=[%d] errorno is [%d]\n", number, got, errno);
            // A source silent for longer than the first-datagram wait no longer looks live:
            // new viewers are refused ("No Video Input") until datagrams come again.
            if (GetTickMs() - last_datagram_ms >= static_cast<uint64_t>(kFirstDatagramWaitMs)) channel.has_input.store(0);
            SleepUnlessStopping(1000);
        }
    }
}

void RunDatagramInput(ChannelRecord& channel, int32_t channel_index)
{
    SourceRecord& source = *channel.FirstSource();
    const int32_t kind = source.kind;
    const int number = channel_index + 1;
    const bool rtp = kind == kSourceRtpGroup || kind == kSourceRtpPort;
    std::shared_ptr<RealBuffer> buffer = NewRing(channel, channel_index);
    if (buffer == nullptr) return;

    char primary[32];
    GetLocalIpAddress(primary, sizeof primary);
    const int fd = OpenDatagramSource(source, primary, number);
    if (fd < 0) return;
    source.socket.store(fd);
    LogSystemMessage("CH [%d]: UDP receive buffer %d KB\n", number, udp_receive_buffer_kb(fd));
    InputHealth& health = ChannelHealth(channel, channel_index);

    std::vector<ThreadRecord*> recorders;
    StartRecorders(channel, channel_index, buffer, true, recorders);
    AnnounceDatagramSource(source, kind, number, fd);
    ReceiveDatagrams(channel, *buffer, fd, rtp, health, number);

    close_datagram_source(fd, source, primary);
    source.socket.store(0);
    StopRecorders(recorders);
}

// One readable wait and receive of the DVB input. Keeps a datagram of at least one packet
// that starts with a sync byte.
static void DvbReceiveStep(ChannelRecord& channel, RealBuffer& buffer, int fd)
{
    if (!WaitReadable(fd, 3000)) {
        channel.has_input.store(0);
        return;
    }
    uint8_t datagram[kTsBlockSize];
    const ssize_t got = recv(fd, datagram, sizeof datagram, 0);
    if (got >= kTsPacketSize && datagram[0] == kTsSyncByte) {
        CountDatagram(ChannelHealth(channel, buffer.channel_index), datagram, static_cast<std::size_t>(got), false, GetTickMs());
        channel.input_bytes.fetch_add(got);
        {
            ScopedLock held(buffer.buffer_lock);
            std::memcpy(buffer.slots[channel.input_index.load()].data, datagram, static_cast<std::size_t>(got));
            write_slot(channel, buffer, static_cast<int32_t>(got));
        }
    }
    channel.has_input.store(1);
}

static ThreadRecord* StartParser(const std::shared_ptr<ChannelTable>& table, const std::shared_ptr<RealBuffer>& buffer,
                                 int32_t channel_index)
{
    auto* args = new (std::nothrow) DvbParserArgs{table, buffer, channel_index};
    if (args == nullptr) return nullptr;
    ThreadRecord* parser = StartThread(DVB_Table_Parser_Thread, args, "DVBParser");
    if (parser == nullptr) delete args;
    return parser;
}

void RunDvbInput(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<ChannelTable>& table)
{
    SourceRecord& source = *channel.FirstSource();
    if (source.dvb_sub != 0) return;                 // a further program of another channel's multiplex
    const int number = channel_index + 1;
    std::vector<ThreadRecord*> recorders;
    ThreadRecord* parser = nullptr;
    int fd = -1;

    if (source.kind == kSourceDvbGroup) {
        fd = open_udp_receiver(static_cast<uint16_t>(source.port));
        source.socket.store(fd);
        if (fd < 0) {
            source.socket.store(-1);
            LogSystemMessage("CH [%d]: Failed in UDP RAW Media Source [%s], Port No [%d]\n", number, source.host, source.port);
            return;
        }
        LogSystemMessage("CH [%d]: UDP RAW Media Source [%s], Port No [%d]\n", number, source.host, source.port);
        if (!ChangeMembership(fd, source.host, nullptr, true)) {
            source.socket.store(-1);
            LogSystemMessage("DVB UDP IP_ADD_MEMBERSHIP ERROR\n");
            CloseSocket(fd);
            return;
        }
        std::shared_ptr<RealBuffer> buffer = NewRing(channel, channel_index);
        if (buffer == nullptr) {
            CloseSocket(fd);
            return;
        }
        StartProgramRecorders(*table, channel_index, buffer, recorders);
        parser = StartParser(table, buffer, channel_index);
        channel.has_input.store(0);
        while (!Stopping()) DvbReceiveStep(channel, *buffer, fd);
    } else {
        std::shared_ptr<RealBuffer> buffer = NewRing(channel, channel_index);
        if (buffer == nullptr) return;
        while (!Stopping()) {
            fd = open_udp_receiver(static_cast<uint16_t>(source.port));
            if (fd < 0) {
                source.socket.store(-1);
                LogSystemMessage("CH [%d]: Failed in DVB UDP Media Source Port No [%d]\n", number, source.port);
                SleepMs(1000);
                continue;
            }
            source.socket.store(fd);
            StartProgramRecorders(*table, channel_index, buffer, recorders);
            if (parser == nullptr) parser = StartParser(table, buffer, channel_index);
            LogSystemMessage("CH [%d]: DVB UDP Media Source Port No [%d]\n", number, source.port);
            channel.has_input.store(0);
            while (!Stopping()) DvbReceiveStep(channel, *buffer, fd);
        }
    }
    if (parser != nullptr) StopThread(parser);
    if (fd >= 0) CloseSocket(fd);
    source.socket.store(0);
    StopRecorders(recorders);
}
