#include "stream/live_sender.h"

#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/sockets.h"
#include "core/threads.h"
#include "media/ts_timing.h"
#include "stream/worker_registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

void LivePcrClock::Take(const uint8_t* packet, int64_t* last_pcr)
{
    int64_t pcr = 0;
    if (!extract_pcr(packet, pcr)) return;
    if (reference_ < 0) {
        reference_ = pcr;
        return;
    }
    if (pcr < reference_) {
        // The clock went back (an encoder restart, the 33-bit wrap): said once, and the new
        // PCR is the reference from now on, so that pacing goes on from it.
        LogSystemMessage("pcr < cur_pcr\n");
        reference_ = pcr;
        return;
    }
    if (pcr - reference_ > kPcrTicksPerSecond) {
        // Far ahead (a channel that changed source, a source that skipped): no PCR comes
        // this far apart in one stream, so pacing goes on from it rather than sleeping the gap.
        reference_ = pcr;
        return;
    }
    pending_ += static_cast<double>(pcr - reference_) / static_cast<double>(kPcrTicksPerSecond) * 0.995;
    reference_ = pcr;
    if (last_pcr != nullptr) *last_pcr = pcr;
}

namespace {

// PCR intervals add up until they reach 200 ms; then the packets collected meanwhile go out in
// one send and the viewer sleeps their sum: the pace of a sleep per PCR with a tenth of the
// system calls at the usual 20 ms PCR spacing (each send also wakes the player once; 200 ms
// needed about two thirds of the CPU of 100 ms at 2000 viewers).
constexpr double   kPacingStepSeconds = 0.2;
constexpr int      kBatchBlocks       = 32;
constexpr int      kBlockPackets      = kLiveBlockSize / kTsPacketSize;
// A send takes at most this many pieces (a piece a ring slot) and bytes; more wait for the next.
constexpr std::size_t kBatchPieces    = 256;
// (A full socket keeps what it did not take in the viewer's unsent bytes: at most this much.)
constexpr std::size_t kBatchBytes     = 128 * 1024;
// Catch-up passes are one a millisecond; the sender does the passes that fell due every 5 ms.
constexpr uint64_t kCatchUpTickMs     = 5;
// The longest sleep of a sender: stop requests are seen within it.
constexpr int      kLongestWaitMs     = 100;
// Viewers' sockets are looked at for a hang-up this often: a player that leaves a channel
// whose source is quiet never fails a send, so nothing else would notice.
constexpr uint64_t kHangUpCheckMs     = 500;

struct PacedViewer {
    PacedViewer(RingReader& reader, std::unique_ptr<RingReader> owned, const LiveViewerLink& viewer_link,
                LiveViewerEnd end)
        : owned_ring(std::move(owned)), ring(reader), link(viewer_link), ended(std::move(end)),
          number(viewer_link.thread_number)
    {
        if (link.framing != nullptr) block = std::make_unique<uint8_t[]>(kLiveBlockSize);
    }
    int socket() const { return link.socket->load(); }
    std::unique_ptr<RingReader> owned_ring;
    RingReader&          ring;
    LiveViewerLink       link;
    LiveViewerEnd        ended;
    int                  number;
    bool                 catching_up = true;
    int                  catch_up_passes = 0;
    int                  passes_done = 0;
    uint64_t             catch_up_last_ms = 0;  // the catch-up's last passes
    const uint8_t*       slot = nullptr;       // in the ring
    int                  slot_length = 0;
    int                  slot_at = 0;          // the next packet of slot to take
    uint16_t             slot_pcrs = 0;        // bit k: packet k of slot carries a PCR
    // A framed output's block of packets (null without framing: packets go out from the ring).
    std::unique_ptr<uint8_t[]> block;
    int                  block_packets = 0;    // taken since the last block boundary
    LivePcrClock         clock;
    PcrSleepCarry        sleep;
    std::vector<uint8_t> unsent;               // what a full socket did not take yet
    uint64_t             progress_ms = 0;      // the socket last took bytes
    bool                 writable = false;     // poll saw the full socket take data again
    uint64_t             due_ms = 0;           // the pacing sleep ends
    bool                 waiting_for_writer = false;
    bool                 send_failed = false;
    bool                 hung_up = false;      // the player closed its end
    bool                 unsent_catch_up = false; // the bytes in unsent are the catch-up's
    bool                 holds_send_lock = false; // link.send_lock is ours until unsent is empty
    bool                 resting = false;      // paused: nothing to send or wait for until it resumes
};

class LiveSender {
public:
    explicit LiveSender(ChannelRecord& channel) : channel_(channel) {}
    bool Start()
    {
        thread_ = StartThread(Routine, this, "LiveSender");
        return thread_ != nullptr;
    }
    void Add(PacedViewer* viewer)
    {
        // Signalled under the lock: once the sender has taken the viewer it may end it at once,
        // and with it the last hold on the channel record.
        std::lock_guard<std::mutex> held(incoming_lock_);
        incoming_.push_back(viewer);
        SignalWakeEvent(channel_.commit_event.load());
    }
    void Join()
    {
        if (thread_ != nullptr) StopThread(thread_);
        thread_ = nullptr;
    }

private:
    // The thread ends as soon as it has handed itself to the registry, so that an idle sender
    // is never left parked until the next join.
    static int32_t Routine(void* sender)
    {
        static_cast<LiveSender*>(sender)->Run();
        EndThread();
    }
    void Run();
    bool TakeIncoming();
    bool Stopped(const PacedViewer& viewer) const
    {
        return viewer.link.service_stop->load() != 0 || viewer.link.stop->load() != 0 || viewer.socket() < 0 ||
               viewer.hung_up;
    }
    void CheckHangUps();
    bool Step(PacedViewer& viewer, uint64_t now);
    bool CatchUp(PacedViewer& viewer, uint64_t now);
    bool Stream(PacedViewer& viewer, uint64_t now);
    bool Append(PacedViewer& viewer, const uint8_t* data, int length, bool catch_up);
    // Adds bytes that stay where they are until the batch's send.
    void Gather(const uint8_t* data, std::size_t length)
    {
        if (!pieces_.empty() && static_cast<const uint8_t*>(pieces_.back().iov_base) + pieces_.back().iov_len == data)
            pieces_.back().iov_len += length;
        else
            pieces_.push_back({const_cast<uint8_t*>(data), length});
        batch_bytes_ += length;
    }
    bool BatchFull() const { return pieces_.size() >= kBatchPieces || batch_bytes_ >= kBatchBytes; }
    void ClearBatch()
    {
        pieces_.clear();
        batch_bytes_ = 0;
        batch_length_ = 0;
    }
    bool Flush(PacedViewer& viewer, bool catch_up);
    // Sends pieces_ from `at` on until the socket is full; false on a failed send.
    bool SendPieces(PacedViewer& viewer, std::size_t& at, bool catch_up);
    bool SendUnsent(PacedViewer& viewer, uint64_t now);
    bool Fail(PacedViewer& viewer, int error_number, bool catch_up);
    // The connection's send lock for a batch; false while its other writer has it.
    static bool TakeSendLock(PacedViewer& viewer)
    {
        if (viewer.link.send_lock == nullptr || viewer.holds_send_lock) return true;
        viewer.holds_send_lock = viewer.link.send_lock->try_lock();
        return viewer.holds_send_lock;
    }
    // Lets the lock go once nothing of a batch waits (always when the viewer leaves).
    static void DropSendLock(PacedViewer& viewer, bool leaving = false)
    {
        if (!viewer.holds_send_lock || (!leaving && !viewer.unsent.empty())) return;
        viewer.link.send_lock->unlock();
        viewer.holds_send_lock = false;
    }
    // The viewer's end, then its record.
    static void Release(PacedViewer* viewer)
    {
        DropSendLock(*viewer, true);
        const LiveViewerEnd ended = std::move(viewer->ended);
        const bool failed = viewer->send_failed;
        delete viewer;
        ended(failed);
    }

    ChannelRecord&            channel_;
    ThreadRecord*             thread_ = nullptr;
    std::mutex                incoming_lock_;
    std::vector<PacedViewer*> incoming_;
    std::vector<PacedViewer*> viewers_;
    std::vector<pollfd>       hang_up_watch_;
    uint64_t                  next_hang_up_check_ms_ = 0;
    // The batch: pieces in the ring or in batch_ (the copied catch-up and framed units).
    std::vector<iovec>        pieces_;
    std::size_t               batch_bytes_ = 0;
    uint8_t                   batch_[kLiveBlockSize * kBatchBlocks];
    int                       batch_length_ = 0;
    uint8_t                   catch_up_slot_[kRingSlotSize];
    uint8_t                   framed_[kRingSlotSize + 64];   // one framed unit
};

// Senders by channel record. A sender without viewers removes itself (under the lock, so a
// viewer is never added to a sender that has decided to end) and waits to be joined.
using SenderRegistry = WorkerRegistry<ChannelRecord*, std::unique_ptr<LiveSender>>;
SenderRegistry& Registry()
{
    static auto* registry = new SenderRegistry;   // never destroyed: senders may outlive main's statics
    return *registry;
}

bool LiveSender::TakeIncoming()
{
    std::lock_guard<std::mutex> held(incoming_lock_);
    viewers_.insert(viewers_.end(), incoming_.begin(), incoming_.end());
    incoming_.clear();
    return !viewers_.empty();
}

bool LiveSender::Fail(PacedViewer& viewer, int error_number, bool catch_up)
{
    const char* error = catch_up ? viewer.link.catch_up_error : viewer.link.stream_error;
    if (catch_up && viewer.link.catch_up_error_on_console) {
        std::printf(error, viewer.number, error_number);
        std::fflush(stdout);
    } else {
        LogSystemMessage(error, viewer.number, error_number);
    }
    viewer.link.stop->store(1);
    viewer.send_failed = true;
    return false;
}

// Sends what is left over first; false on a failed send.
bool LiveSender::SendUnsent(PacedViewer& viewer, uint64_t now)
{
    std::size_t taken = 0;
    if (!TakeSendLock(viewer)) {
        // A reply goes out first; a connection that takes nothing still fails at its time-out.
        if (now - viewer.progress_ms >= static_cast<uint64_t>(kLiveSendTimeoutMs))
            return Fail(viewer, EAGAIN, viewer.unsent_catch_up);
        return true;
    }
    while (taken < viewer.unsent.size()) {
        const ssize_t sent = send(viewer.socket(), viewer.unsent.data() + taken, viewer.unsent.size() - taken,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            taken += static_cast<std::size_t>(sent);
            CountSent(viewer.link.sent_bytes, viewer.link.service_stats, static_cast<std::size_t>(sent));
            viewer.progress_ms = now;
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return Fail(viewer, errno, viewer.unsent_catch_up);
    }
    viewer.unsent.erase(viewer.unsent.begin(), viewer.unsent.begin() + static_cast<std::ptrdiff_t>(taken));
    if (viewer.unsent.empty()) std::vector<uint8_t>().swap(viewer.unsent);   // its room goes back too
    DropSendLock(viewer);
    if (!viewer.unsent.empty() && now - viewer.progress_ms >= static_cast<uint64_t>(kLiveSendTimeoutMs))
        return Fail(viewer, EAGAIN, viewer.unsent_catch_up);
    return true;
}

bool LiveSender::SendPieces(PacedViewer& viewer, std::size_t& at, bool catch_up)
{
    while (at < pieces_.size()) {
        msghdr message{};
        message.msg_iov    = pieces_.data() + at;
        message.msg_iovlen = pieces_.size() - at;
        ssize_t sent = sendmsg(viewer.socket(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (sent <= 0) return Fail(viewer, errno, catch_up);
        CountSent(viewer.link.sent_bytes, viewer.link.service_stats, static_cast<std::size_t>(sent));
        for (; at < pieces_.size() && static_cast<std::size_t>(sent) >= pieces_[at].iov_len; ++at)
            sent -= static_cast<ssize_t>(pieces_[at].iov_len);
        if (sent > 0) {
            pieces_[at].iov_base = static_cast<uint8_t*>(pieces_[at].iov_base) + sent;
            pieces_[at].iov_len -= static_cast<std::size_t>(sent);
        }
    }
    return true;
}

// Sends the batch; whatever the socket does not take now waits in unsent (after anything
// already waiting there). False on a failed send.
bool LiveSender::Flush(PacedViewer& viewer, bool catch_up)
{
    if (pieces_.empty()) {
        ClearBatch();
        return true;
    }
    std::size_t at = 0;
    if (viewer.unsent.empty() && !TakeSendLock(viewer)) {
        viewer.progress_ms = GetTickMs();    // the batch waits for the other writer's reply
    } else if (viewer.unsent.empty()) {
        if (!SendPieces(viewer, at, catch_up)) {
            ClearBatch();
            return false;
        }
        if (at < pieces_.size()) viewer.progress_ms = GetTickMs();
    }
    if (at < pieces_.size()) {
        for (; at < pieces_.size(); ++at) {
            const auto* data = static_cast<const uint8_t*>(pieces_[at].iov_base);
            viewer.unsent.insert(viewer.unsent.end(), data, data + pieces_[at].iov_len);
        }
        viewer.unsent_catch_up = catch_up;
    }
    ClearBatch();
    DropSendLock(viewer);
    return true;
}

// One unit (a catch-up slot or a block) framed as the viewer's output wants it: copied into
// the batch, or out at once as a datagram.
bool LiveSender::Append(PacedViewer& viewer, const uint8_t* data, int length, bool catch_up)
{
    LiveFraming* framing = viewer.link.framing;
    if (framing != nullptr) {
        length = framing->Frame(data, length, framed_);
        data = framed_;
        if (framing->datagrams()) return framing->SendDatagram(data, length) || Fail(viewer, errno, catch_up);
    }
    if ((batch_length_ + length > static_cast<int>(sizeof batch_) || BatchFull()) && !Flush(viewer, catch_up))
        return false;
    uint8_t* copy = batch_ + batch_length_;
    std::memcpy(copy, data, static_cast<std::size_t>(length));
    batch_length_ += length;
    Gather(copy, static_cast<std::size_t>(length));
    return true;
}

// The catch-up passes that fell due since the last ones (a pass a millisecond), then (all
// done, or the writer reached) the start of the stream.
bool LiveSender::CatchUp(PacedViewer& viewer, uint64_t now)
{
    int due = static_cast<int>(std::min<uint64_t>(now - viewer.catch_up_last_ms, kRingSlots));
    viewer.catch_up_last_ms = now;
    bool reached = false;
    for (; due > 0 && viewer.passes_done < viewer.catch_up_passes; --due) {
        int length = 0;
        if (!viewer.ring.CatchUpPass(catch_up_slot_, length)) {
            reached = true;
            break;
        }
        ++viewer.passes_done;
        if (length > 0 && !Append(viewer, catch_up_slot_, length, true)) return false;
        if (!viewer.unsent.empty()) break;      // a full socket: the rest when it takes data again
    }
    if (!Flush(viewer, true)) return false;
    if (!reached && viewer.passes_done < viewer.catch_up_passes) {
        viewer.due_ms = now + kCatchUpTickMs;
        return true;
    }
    viewer.catching_up = false;
    LogSystemMessage("Thread[%d]: Start first Index [%d]\n", viewer.number, viewer.ring.output_index());
    return true;
}

// The stream from where the viewer stopped: packets straight from the ring's slots (into
// blocks first for a framed output), the batch out at each pacing point, where the viewer
// then sleeps the PCR time it covered. Pacing points fall on block boundaries.
bool LiveSender::Stream(PacedViewer& viewer, uint64_t now)
{
    viewer.waiting_for_writer = false;
    uint8_t* block = viewer.block.get();
    for (;;) {
        if (viewer.slot_at + kTsPacketSize > viewer.slot_length) {
            viewer.slot_at = 0;
            const RingReader::Next next = viewer.ring.PeekSlot(viewer.slot, viewer.slot_length, &viewer.slot_pcrs);
            if (next != RingReader::Next::kSlot) {
                viewer.slot_length = 0;
                if (next == RingReader::Next::kRetired) {
                    // The channel's input closed (a refresh or a shutdown): the player
                    // reconnects to whatever runs now instead of waiting on a dead ring.
                    LogSystemMessage(viewer.link.closed_text, viewer.number);
                    Flush(viewer, false);
                    return false;
                }
                viewer.waiting_for_writer = true;
                return Flush(viewer, false);
            }
        }
        while (viewer.slot_at + kTsPacketSize <= viewer.slot_length) {
            const uint8_t* packet = viewer.slot + viewer.slot_at;
            // Only a packet the writer marked is looked at for its PCR: the packets themselves
            // stay untouched on their way from the ring to the socket.
            const bool timed = (viewer.slot_pcrs & (1u << (viewer.slot_at / kTsPacketSize))) != 0;
            viewer.slot_at += kTsPacketSize;
            if (block != nullptr)
                std::memcpy(block + viewer.block_packets * kTsPacketSize, packet, kTsPacketSize);
            else
                Gather(packet, kTsPacketSize);
            if (++viewer.block_packets < kBlockPackets) {
                if (timed) viewer.clock.Take(packet, viewer.link.last_pcr);
                continue;
            }
            viewer.block_packets = 0;
            if (block != nullptr && !Append(viewer, block, kLiveBlockSize, false)) return false;
            if (block == nullptr && BatchFull() && !Flush(viewer, false)) return false;
            if (viewer.clock.pending() >= kPacingStepSeconds) {
                if (!Flush(viewer, false)) return false;
                if (!viewer.ring.Lags()) {
                    const int64_t ms = viewer.sleep.NextMs(viewer.clock.pending());
                    if (ms > 0) viewer.due_ms = now + static_cast<uint64_t>(ms > 10000 ? 10000 : ms);
                }
                viewer.clock.ClearPending();
            }
            if (timed) viewer.clock.Take(packet, viewer.link.last_pcr);
            if (viewer.due_ms > now || !viewer.unsent.empty()) return Flush(viewer, false);
        }
    }
}

void LiveSender::CheckHangUps()
{
    hang_up_watch_.clear();
    for (PacedViewer* viewer : viewers_) hang_up_watch_.push_back({viewer->socket(), POLLRDHUP, 0});
    if (poll(hang_up_watch_.data(), hang_up_watch_.size(), 0) <= 0) return;
    for (std::size_t i = 0; i < viewers_.size(); ++i)
        if (HungUpEvents(hang_up_watch_[i].revents)) viewers_[i]->hung_up = true;
}

bool LiveSender::Step(PacedViewer& viewer, uint64_t now)
{
    if (Stopped(viewer)) return false;
    // A paused viewer keeps its place (the writer may lap it meanwhile) and what it has not
    // sent yet until it resumes. Only a batch already begun on the connection is finished
    // first: it holds the connection's send lock, and a packet must not be cut by a reply.
    const bool paused = viewer.link.paused != nullptr && viewer.link.paused->load() != 0;
    if (paused && !viewer.holds_send_lock) {
        viewer.resting = true;
        return true;
    }
    if (viewer.resting) {
        // Resumed: what waited goes out first, and the send time-out counts from now.
        viewer.resting = false;
        viewer.writable = true;
        viewer.progress_ms = now;
        viewer.catch_up_last_ms = now;
    }
    if (!viewer.unsent.empty()) {
        // A full socket is tried again once poll says it takes data, or at its time-out.
        if (!viewer.writable && now - viewer.progress_ms < static_cast<uint64_t>(kLiveSendTimeoutMs)) return true;
        viewer.writable = false;
        if (!SendUnsent(viewer, now)) return false;
        if (!viewer.unsent.empty()) return true;
    }
    if (paused || now < viewer.due_ms) return true;
    ClearBatch();
    if (viewer.catching_up) {
        if (!CatchUp(viewer, now)) return false;
        if (viewer.catching_up || !viewer.unsent.empty()) return true;
    }
    return Stream(viewer, now);
}

void LiveSender::Run()
{
    std::vector<pollfd>       watched;            // [0] the channel's event, then full sockets
    std::vector<PacedViewer*> watched_viewers;    // the viewers of watched[1...]
    for (;;) {
        if (!TakeIncoming()) {
            SenderRegistry& registry = Registry();
            std::lock_guard<std::mutex> held(registry.lock);
            if (TakeIncoming()) continue;
            auto found = registry.running.find(&channel_);
            registry.ended.push_back(std::move(found->second));
            registry.running.erase(found);
            return;                                    // joined by the next registration or the service's stop
        }
        const int32_t observed = channel_.input_index.load();
        const uint64_t now = GetTickMs();
        if (now >= next_hang_up_check_ms_) {
            CheckHangUps();
            next_hang_up_check_ms_ = now + kHangUpCheckMs;
        }
        uint64_t wake_at = now + kLongestWaitMs;
        bool waiting_for_writer = false;
        watched.clear();
        watched_viewers.clear();
        watched.push_back({channel_.commit_event.load(), POLLIN, 0});
        std::size_t kept = 0;
        for (PacedViewer* viewer : viewers_) {
            if (!Step(*viewer, now)) {
                Release(viewer);
                continue;
            }
            viewers_[kept++] = viewer;
            if (viewer->resting) continue;      // no deadline and no socket to watch until it resumes
            if (!viewer->unsent.empty()) {
                watched.push_back({viewer->socket(), POLLOUT, 0});
                watched_viewers.push_back(viewer);
                wake_at = std::min(wake_at, viewer->progress_ms + kLiveSendTimeoutMs);
            } else if (viewer->due_ms > now) {
                wake_at = std::min(wake_at, viewer->due_ms);
            } else if (viewer->waiting_for_writer) {
                waiting_for_writer = true;
            }
        }
        viewers_.resize(kept);
        // The channel record lives as long as its viewers' tables: without viewers, never touch it.
        if (viewers_.empty()) continue;

        // Sleep until the earliest deadline, a socket that takes data again, a new viewer, or
        // (when a viewer waits for data) the writer's next commit. The flag is set before the
        // index is looked at again, so a commit in between is never missed.
        const uint64_t after = GetTickMs();
        int timeout = wake_at > after ? static_cast<int>(wake_at - after) : 0;
        if (waiting_for_writer) {
            channel_.commit_wanted.store(true);
            if (channel_.input_index.load() != observed) timeout = 0;
        }
        if (timeout > 0 || watched.size() > 1) {
            if (poll(watched.data(), watched.size(), timeout) > 0) {
                if ((watched[0].revents & POLLIN) != 0) ClearWakeEvent(watched[0].fd);
                for (std::size_t i = 1; i < watched.size(); ++i)
                    if (watched[i].revents != 0) watched_viewers[i - 1]->writable = true;
            }
        }
        channel_.commit_wanted.store(false);
    }
}

}  // namespace

// Hands the viewer to its channel's sender, started when there is none; false when none runs.
static bool AddToSender(ChannelRecord& channel, std::unique_ptr<PacedViewer> viewer)
{
    const int thread_number = viewer->number;
    viewer->catch_up_passes = viewer->ring.catch_up_passes();
    viewer->catch_up_last_ms = GetTickMs() - 1;
    SenderRegistry& registry = Registry();
    std::lock_guard<std::mutex> held(registry.lock);
    registry.JoinEnded();
    if (channel.commit_event.load() < 0) channel.commit_event.store(OpenWakeEvent());
    if (channel.commit_event.load() < 0) {
        LogSystemMessage("Thread[%d]: live sender: no wake event\n", thread_number);
        return false;
    }
    std::unique_ptr<LiveSender>& sender = registry.running[&channel];
    if (sender == nullptr) {
        sender = std::make_unique<LiveSender>(channel);
        if (!sender->Start()) {
            registry.running.erase(&channel);
            LogSystemMessage("Thread[%d]: live sender: its thread did not start\n", thread_number);
            return false;
        }
    }
    sender->Add(viewer.release());
    return true;
}

bool HandToLiveSender(ChannelRecord& channel, std::unique_ptr<RingReader> ring, const LiveViewerLink& link,
                      LiveViewerEnd ended)
{
    RingReader& reader = *ring;
    return AddToSender(channel, std::make_unique<PacedViewer>(reader, std::move(ring), link, std::move(ended)));
}

bool ServePacedViewer(ChannelRecord& channel, RingReader& ring, const LiveViewerLink& link)
{
    // 1 wakes this thread; 2, stored after the wake-up call, lets it leave (and end what the
    // sender's call still touches).
    std::atomic<int32_t> done{0};
    bool failed = false;
    auto ended = [&](bool send_failed) {
        failed = send_failed;
        done.store(1);
        WakeWaiters(done);
        done.store(2);
    };
    if (!AddToSender(channel, std::make_unique<PacedViewer>(ring, nullptr, link, ended))) return false;
    // The sender lets go within its longest sleep of a stop; the time-out only bounds each wait.
    for (int32_t now = done.load(); now != 2; now = done.load()) WaitWhileEqual(done, now, now == 0 ? 10000 : 1);
    return failed;
}

void JoinIdleLiveSenders(uint32_t wait_ms) { Registry().JoinIdle(wait_ms); }

int LiveSenderCount() { return Registry().Count(); }
