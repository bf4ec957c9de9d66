#include "stream/multicast_output.h"

#include "channels/channel_table.h"
#include "channels/source_table.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/threads.h"
#include "ingest/on_demand.h"
#include "ingest/real_buffer.h"
#include "media/ts_timing.h"
#include "stream/byte_stream_output.h"
#include "stream/directory_stream.h"
#include "stream/dvb_program.h"
#include "stream/live_sender.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

// The sending socket, -1 while the server is not running; every channel loop ends when it closes.
std::atomic<int>     g_multicast_socket{-1};
std::atomic<int32_t> g_multicast_restart{0};

// One per channel; the argument of its IPTV_IGMPDataThread. The table keeps the channel
// record alive while the thread runs, whatever a refresh publishes meanwhile.
struct IgmpChannelInfo {
    std::shared_ptr<ChannelTable> table;
    int32_t                       channel_index = 0;
    char                          group[16] = "";
    sockaddr_in                   destination{};
    int                           destination_length = 16;
    ThreadRecord*                 thread = nullptr;
    int64_t                       last_pcr = -1;
    double                        last_pcr_time = 0;
    double                        elapsed_time = 0;
    std::atomic<uint8_t>          stop{0};         // this channel's thread is to end
};

bool Stopped(const IgmpChannelInfo& entry)
{
    return g_multicast_stop.load() != 0 || entry.stop.load() != 0 || g_multicast_socket.load() < 0 || ProcessStopRaised();
}

// The live sender's framing for multicast: each unit into the aligner, each whole datagram out.
class MulticastFraming : public LiveFraming {
public:
    // may_sleep: the caller's own thread, which sleeps out a pause after a failed send (the
    // live sender serves other viewers meanwhile, so there datagrams are dropped instead).
    MulticastFraming(MulticastOut& out, PacketAligner& aligner, bool may_sleep = false)
        : out_(out), aligner_(aligner), may_sleep_(may_sleep) {}
    int overhead() const override { return 0; }
    int Frame(const uint8_t* data, int length, uint8_t* out) override
    {
        std::memcpy(out, data, static_cast<std::size_t>(length));
        return length;
    }
    bool datagrams() const override { return true; }
    bool SendDatagram(const uint8_t* data, int length) override
    {
        return aligner_.Add(data, length, [this](const uint8_t* block, int size) {
            if (!out_.Send(block, size)) return false;
            if (may_sleep_) out_.WaitOutPause();
            return true;
        });
    }

private:
    MulticastOut&  out_;
    PacketAligner& aligner_;
    bool           may_sleep_;
};

// Waits until the channel's input runs; false when the thread is to end first. A source that
// could not be opened is said once and waited for like one that has not sent yet.
bool WaitForInput(const IgmpChannelInfo& entry, ChannelRecord& channel, int number)
{
    bool said = false;
    while (!Stopped(entry)) {
        const SourceRecord* source = channel.FirstSource();
        const std::shared_ptr<RealBuffer> buffer = channel.Buffer();
        // An on-demand pull connects for the reader this output makes: it sends the channel,
        // so it wants it for as long as it runs.
        if (PullsOnDemand(channel) && buffer != nullptr && buffer->retired.load() == 0) return true;
        if (source->socket.load() == -1) {
            if (!said) {
                LogSystemMessage("Thread[%d]: IPTV_IGMPDataThread : Channel [%d], Netowork Input is not available\n", number,
                                 entry.channel_index + 1);
            }
            said = true;
        } else if (channel.has_input.load() != 0 && buffer != nullptr && buffer->retired.load() == 0) {
            return true;
        }
        SleepUnlessStopping(200);
    }
    return false;
}

// The newest slot the ring holds with a PAT in it (searched back from the writer), or -1.
int32_t NewestPatSlot(ChannelRecord& channel, bool byte_stream)
{
    const std::shared_ptr<RealBuffer> buffer = channel.Buffer();
    if (buffer == nullptr) return -1;
    const int32_t input = channel.input_index.load();
    const int32_t slots = channel.time_index.load() == 0 ? input : kRingSlots - 1;
    uint8_t slot[kRingSlotSize];
    for (int32_t back = 1; back <= slots; ++back) {
        const int32_t index = (input - back + kRingSlots) % kRingSlots;
        const int32_t length = buffer->slots[index].length.load(std::memory_order_acquire);
        if (length < 1) continue;
        const int kept = length > kRingSlotSize ? kRingSlotSize : length;
        std::memcpy(slot, buffer->slots[index].data, static_cast<std::size_t>(kept));
        if ((byte_stream ? find_stream_pat_offset(slot, kept) : find_pat_offset(slot, kept)) >= 0) return index;
    }
    return -1;
}

// Logs where a multicast output joined its ring.
void LogJoin(const IgmpChannelInfo& entry, const RingReader& ring, int number)
{
    LogSystemMessage("Thread[%d]: IPTV_IGMPDataThread : CH no.[%d] Found Video FAT in Index [%d]\n", number,
                     entry.channel_index + 1, (ring.output_index() + kRingSlots - 1) % kRingSlots);
    LogSystemMessage("Thread[%d]: Start TS Index [%d]\n", number, ring.output_index());
}

// Joins the ring at its newest PAT (or, with none yet, at the first one to come); false when
// the thread is to end or the join failed (then after a pause the caller tries again).
bool JoinNewest(IgmpChannelInfo& entry, ChannelRecord& channel, RingReader& ring, std::vector<uint8_t>& first, int number)
{
    const RingReader::Join join = ring.JoinAtPat([&] { return Stopped(entry); }, first, NewestPatSlot(channel, false));
    if (join == RingReader::Join::kJoined) {
        LogJoin(entry, ring, number);
        return true;
    }
    if (join != RingReader::Join::kStopped) SleepUnlessStopping(1000);
    return false;
}

// UDP and RTP inputs: through the channel's live sender, like its HTTP and RTSP viewers.
void ForwardPacketAligned(IgmpChannelInfo& entry, ChannelRecord& channel, MulticastOut& out, int number)
{
    while (WaitForInput(entry, channel, number)) {
        const std::string prefix = "Thread[" + std::to_string(number) + "]: IPTV_IGMPDataThread : CH no.[" +
                                   std::to_string(entry.channel_index + 1) + "] ";
        RingReader ring(channel, false, number, prefix);
        std::vector<uint8_t> first;
        if (!JoinNewest(entry, channel, ring, first, number)) continue;
        PacketAligner aligner;
        MulticastFraming framing(out, aligner);
        if (!framing.SendDatagram(first.data(), static_cast<int>(first.size()))) return;
        entry.last_pcr = -1;
        LiveViewerLink link;
        link.socket         = &g_multicast_socket;
        link.stop           = &entry.stop;
        link.service_stop   = &g_multicast_stop;
        link.last_pcr       = &entry.last_pcr;
        link.framing        = &framing;
        link.thread_number  = number;
        link.catch_up_error = "Thread[%d]:  IPTV_IGMPDataThread: errorno is [%d]\n";
        link.stream_error   = "Thread[%d]: IPTV_IGMPDataThread 5: errorno is [%d]\n";
        link.closed_text    = "Thread[%d]: IPTV_IGMPDataThread : Channel input closed\n";
        ServePacedViewer(channel, ring, link);
        // The input closed (a refresh restarts this thread on the new ring) or the server ends.
        if (!Stopped(entry)) SleepUnlessStopping(1000);
    }
}

// HTTP and RTSP pull inputs: byte-stream slots, re-aligned into datagrams and paced by PCR.
void ForwardByteStream(IgmpChannelInfo& entry, ChannelRecord& channel, MulticastOut& out, int number)
{
    ByteStreamOutput stream;
    RingFollower& follower = stream.follower;
    follower.thread_number    = number;
    follower.log_prefix       = "Thread[" + std::to_string(number) + "]: IPTV_IGMPDataThread : CH no.[" +
                                std::to_string(entry.channel_index + 1) + "] ";
    follower.warn_channel     = entry.channel_index + 1;
    follower.closed_line      = "Thread[" + std::to_string(number) + "]: IPTV_IGMPDataThread : Channel input closed\n";
    follower.follow_next_ring = true;
    follower.stopped          = [&] { return Stopped(entry); };
    follower.ready            = [&] { return WaitForInput(entry, channel, number); };
    follower.join_from        = [&] { return NewestPatSlot(channel, true); };
    follower.refused          = [&](RingReader::Join) {
        SleepUnlessStopping(1000);
        return true;
    };
    stream.last_pcr   = &entry.last_pcr;
    stream.joined     = [&](const RingReader& ring) { LogJoin(entry, ring, number); };
    stream.send       = [&](const uint8_t* block, int length) { return out.Send(block, length); };
    stream.after_slot = [&] { out.WaitOutPause(); };
    ServeByteStream(channel, stream);
}

// One program of a DVB multiplex, with a PAT of its own, paced by its PCR like its HTTP viewers.
void ForwardDvbProgram(IgmpChannelInfo& entry, ChannelRecord& channel, MulticastOut& out, int number)
{
    DvbBlockOutput output;
    DvbProgramReader& reader = output.reader;
    reader.thread_number = number;
    reader.closed_line   = "Thread[" + std::to_string(number) + "]: IPTV_IGMPDataThread : Channel input closed\n";
    reader.stopped       = [&] { return Stopped(entry); };
    reader.joined        = [&](const DvbProgramFilter& filter) {
        LogSystemMessage("Thread[%d]: IPTV_IGMPDataThread : CH no.[%d] Program no=[%d] joined\n", number, entry.channel_index + 1,
                         filter.program());
    };
    output.send         = [&](const uint8_t* block, int length) { return out.Send(block, length); };
    output.before_sleep = [&] { out.WaitOutPause(); };
    ServeDvbProgramBlocks(*entry.table, channel, output);
}

// A folder of transport-stream files, looped from where its playlist stands now; tried again
// after a while when it cannot be played (no files yet, a file that cannot be opened).
void ForwardDirectory(IgmpChannelInfo& entry, ChannelRecord& channel, MulticastOut& out, int number)
{
    PacketAligner aligner;
    MulticastFraming framing(out, aligner, true);
    DirectoryViewer viewer;
    viewer.thread_name    = "IPTV_IGMPDataThread";
    viewer.thread_number  = number;
    viewer.channel_number = entry.channel_index + 1;
    viewer.framing        = &framing;
    viewer.stopped        = [&] { return Stopped(entry); };
    viewer.send           = [](const uint8_t*, int) { return true; };   // datagrams go out through the framing
    viewer.clock          = [&](double first, double now) {
        entry.last_pcr_time = now;
        entry.elapsed_time  = now - first;
    };
    while (!Stopped(entry)) {
        aligner.Reset();
        StreamTsDirectory(*entry.table, channel, viewer);
        SleepUnlessStopping(5000);
    }
}

int32_t IPTV_IGMPDataThread(void* argument)
{
    {
        auto& entry = *static_cast<IgmpChannelInfo*>(argument);
        ChannelRecord& channel = *entry.table->channels[static_cast<std::size_t>(entry.channel_index)];
        const int number = ThreadNumber();
        if (!channel.sources.empty()) {
            LogSystemMessage("IGMP Channel[%d] is starting\n", entry.channel_index + 1);
            MulticastOut out(entry.destination, number);
            const SourceTraits& traits = ChannelTraits(channel);
            switch ((traits.outputs & kOutputMulticast) != 0 ? traits.layout : RingLayout::kNone) {
            case RingLayout::kMp4Folder:
            case RingLayout::kTsFolder: ForwardDirectory(entry, channel, out, number); break;
            case RingLayout::kPackets:
            case RingLayout::kRtpSlots: ForwardPacketAligned(entry, channel, out, number); break;
            case RingLayout::kByteStream: ForwardByteStream(entry, channel, out, number); break;
            case RingLayout::kDvbProgram: ForwardDvbProgram(entry, channel, out, number); break;
            default: {
                const std::string who = "Thread[" + std::to_string(number) + "]: IPTV_IGMPDataThread";
                LogRefusedOutput(channel, kOutputMulticast, who.c_str(), entry.channel_index + 1);
                break;
            }
            }
            LogSystemMessage("Player : IPTV_IGMPDataThread (CH no.[%d] Stop Streaming)\n", entry.channel_index + 1);
            LogSystemMessage("Player : IPTV_IGMPDataThread (OUT)\n");
        }
    }
    EndThread();
}

void StartChannels(std::vector<std::unique_ptr<IgmpChannelInfo>>& entries, uint32_t base, uint16_t port)
{
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    for (int32_t i = 0; i < table->Count(); ++i) {
        auto entry = std::make_unique<IgmpChannelInfo>();
        entry->table         = table;
        entry->channel_index = i;
        entry->destination.sin_family      = AF_INET;
        entry->destination.sin_port        = htons(port);
        entry->destination.sin_addr.s_addr = htonl(multicast_group(base, i));
        inet_ntop(AF_INET, &entry->destination.sin_addr, entry->group, sizeof entry->group);
        entry->thread = StartThread(IPTV_IGMPDataThread, entry.get(), "IGMPData");
        if (entry->thread == nullptr) LogSystemMessage("CH [%d] failed\n", i);
        entries.push_back(std::move(entry));
    }
}

void StopChannels(std::vector<std::unique_ptr<IgmpChannelInfo>>& entries)
{
    for (auto& entry : entries) entry->stop.store(1);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i]->thread == nullptr) continue;
        StopThread(entries[i]->thread);
        LogSystemMessage("Multicast Thread Close[%d]\n", static_cast<int>(i));
    }
    entries.clear();
}

// The TTL and outgoing interface of the configuration; without them the system's defaults.
void ApplySendOptions(int fd)
{
    if (g_config.igmpttl[0] != '\0') {
        char* end = nullptr;
        const long ttl = std::strtol(g_config.igmpttl, &end, 10);
        if (*end != '\0' || ttl < 0 || ttl > 255) {
            LogSystemMessage("Multicast: igmpttl [%s] is not a TTL from 0 to 255, the system default is used\n", g_config.igmpttl);
        } else {
            const int value = static_cast<int>(ttl);
            if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value) != 0)
                LogSystemMessage("Multicast: igmpttl [%s] not set, errorno is [%d]\n", g_config.igmpttl, errno);
        }
    }
    if (g_config.igmpinterface[0] != '\0') {
        ip_mreqn request{};
        if (inet_pton(AF_INET, g_config.igmpinterface, &request.imr_address) != 1)
            request.imr_ifindex = static_cast<int>(if_nametoindex(g_config.igmpinterface));
        if (request.imr_address.s_addr == 0 && request.imr_ifindex == 0) {
            LogSystemMessage("Multicast: igmpinterface [%s] is neither an address nor an interface, the system default is used\n",
                             g_config.igmpinterface);
        } else if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) != 0) {
            LogSystemMessage("Multicast: igmpinterface [%s] not set, errorno is [%d]\n", g_config.igmpinterface, errno);
        }
    }
}

}  // namespace

bool ParseMulticastBase(const char* text, uint32_t& base)
{
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) return false;
    base = ntohl(address.s_addr);
    return (base >> 28) == 0xE;                   // 224.0.0.0/4
}

bool ParseMulticastPort(const char* text, uint16_t& port)
{
    if (text[0] == '\0' || std::strlen(text) > 5) return false;
    for (const char* c = text; *c != '\0'; ++c)
        if (*c < '0' || *c > '9') return false;
    const long value = std::strtol(text, nullptr, 10);
    if (value < 1 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

uint32_t multicast_group(uint32_t base, int32_t channel_index)
{
    uint32_t third = (base >> 8) & 0xFF;
    uint32_t last = (base & 0xFF) + (static_cast<uint32_t>(channel_index) & 0xFF);
    if (last > 255) {
        last = (last & 0xFF) + 1;
        third = (third + 1) & 0xFF;
    }
    return (base & 0xFFFF0000u) | (third << 8) | last;
}

MulticastOut::MulticastOut(const sockaddr_in& destination, int thread_number, SendFunction send)
    : destination_(destination), thread_number_(thread_number), send_(std::move(send))
{
}

bool MulticastOut::Send(const uint8_t* data, int length)
{
    const int fd = g_multicast_socket.load();
    if (!send_ && fd < 0) return false;
    if (failing_ && GetTickMs() < paused_until_ms_) return true;      // dropped while paused
    for (;;) {
        const ssize_t sent = send_ ? send_(data, static_cast<std::size_t>(length))
                                   : sendto(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                                            reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_);
        if (sent >= 0) {
            if (failing_) LogSystemMessage("Thread[%d]: IPTV_IGMPDataThread sends again\n", thread_number_);
            failing_ = false;
            return true;
        }
        if (errno == EINTR) continue;
        if (!failing_) LogSystemMessage("Thread[%d]: IPTV_IGMPDataThread 5: errorno is [%d]\n", thread_number_, errno);
        failing_ = true;
        paused_until_ms_ = GetTickMs() + kMulticastSendPauseMs;
        return true;
    }
}

void MulticastOut::WaitOutPause()
{
    if (!failing_) return;
    const uint64_t now = GetTickMs();
    if (now < paused_until_ms_) SleepUnlessStopping(static_cast<uint32_t>(paused_until_ms_ - now));
}

void RestartMulticastChannels()
{
    g_multicast_restart.store(1);
}

int32_t IPTV_IGMP_Server(void* /*unused*/)
{
    {
        uint32_t base = 0;
        uint16_t port = 0;
        const int32_t count = ChannelCount();
        int fd = -1;
        // An address or port that cannot be meant would send every channel to garbage.
        if (!ParseMulticastBase(g_config.igmpip, base)) {
            LogSystemMessage("Multicast output off: igmpip [%s] is not a multicast group address\n", g_config.igmpip);
        } else if (!ParseMulticastPort(g_config.igmpport, port)) {
            LogSystemMessage("Multicast output off: igmpport [%s] is not a port number\n", g_config.igmpport);
        } else {
            fd = OpenUdpSocket(0, port);
            LogSystemMessage("System Message : [%d] Multicast Server Starting\n", count);
            if (fd < 0) {
                g_multicast_start_failed.store(1);
                LogSystemMessage("Halvorsyne Streamer open socket error on port [%s]\n", g_config.igmpport);
            }
        }
        g_startup_sema.Signal();
        if (fd >= 0) {
            const int off = 0;
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off);
            ApplySendOptions(fd);
            g_multicast_socket.store(fd);
            std::vector<std::unique_ptr<IgmpChannelInfo>> entries;
            g_multicast_restart.store(0);
            StartChannels(entries, base, port);
            while (!g_multicast_stop_gate.WaitFor(200)) {
                if (g_multicast_restart.exchange(0) == 0) continue;
                LogSystemMessage("Multicast Server: restart the channels after a channel refresh\n");
                StopChannels(entries);
                JoinIdleLiveSenders();
                StartChannels(entries, base, port);
            }
            LogSystemMessage("Multicast Server Closing[%d]\n", static_cast<int>(entries.size()));
            StopChannels(entries);
            JoinIdleLiveSenders(2000);
            g_multicast_socket.store(-1);
            CloseSocket(fd);
            LogSystemMessage("Multicast OUT: Multicast Server Closed\n");
            LogSystemMessage("System Message : Multicast Server OUT\n");
        }
    }
    EndThread();
}
