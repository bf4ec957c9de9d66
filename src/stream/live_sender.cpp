#include "stream/live_sender.h"

#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/sockets.h"
#include "core/threads.h"
#include "media/ts_timing.h"
#include "stream/ring_spool.h"
#include "stream/worker_registry.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <queue>
#include <sys/sendfile.h>
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
// A viewer that reached the writer sleeps this long before it takes what came meanwhile.
constexpr uint64_t kEdgeSleepMs       = static_cast<uint64_t>(kPacingStepSeconds * 1000);
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
// Unsent bytes still in the spool this far behind its end are copied out, so that one slow
// socket does not keep the spool from giving its pages back.
constexpr int64_t  kSpoolBacklogBytes = 16 << 20;
// Viewers' sockets are looked at for a hang-up this often: a player that leaves a channel
// whose source is quiet never fails a send, so nothing else would notice.
constexpr uint64_t kHangUpCheckMs     = 500;

// What a full socket did not take yet: bytes of its own, or a range of the channel's spool.
struct Unsent {
    std::vector<uint8_t> bytes;
    int64_t              spool_at = -1;
    std::size_t          spool_length = 0;
    bool                 catch_up = false;     // they are the catch-up's
    bool empty() const { return bytes.empty() && spool_length == 0; }
    std::size_t size() const { return spool_length > 0 ? spool_length : bytes.size(); }
};

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
    int64_t              slot_spool = -1;      // where slot starts in the spool, or -1
    bool                 spooled = false;      // sent from the spool (a bare stream, non-blocking socket)
    bool                 restore_blocking = false; // the socket was blocking before the sender took it
    // A framed output's block of packets (null without framing: packets go out from the ring).
    std::unique_ptr<uint8_t[]> block;
    int                  block_packets = 0;    // taken since the last block boundary
    LivePcrClock         clock;
    PcrSleepCarry        sleep;
    Unsent               unsent;               // what a full socket did not take yet
    uint64_t             progress_ms = 0;      // the socket last took bytes
    bool                 writable = false;     // poll saw the full socket take data again
    uint64_t             due_ms = 0;           // the pacing sleep ends
    bool                 waiting_for_writer = false;
    bool                 send_failed = false;
    bool                 hung_up = false;      // the player closed its end
    bool                 holds_send_lock = false; // link.send_lock is ours until unsent is empty
    bool                 resting = false;      // paused: nothing to send or wait for until it resumes
    bool                 finished = false;     // stopped: released by the sender's next full pass
};

// One channel's viewers, served by the thread of the host that holds it.
class LiveSender {
public:
    explicit LiveSender(ChannelRecord& channel) : channel_(channel), spool_(channel) {}
    LiveSender(const LiveSender&) = delete;
    LiveSender& operator=(const LiveSender&) = delete;
    void Add(PacedViewer* viewer)
    {
        // Signalled under the lock: once the sender has taken the viewer it may end it at once,
        // and with it the last hold on the channel record.
        std::lock_guard<std::mutex> held(incoming_lock_);
        incoming_.push_back(viewer);
        load_.fetch_add(1);
        SignalWakeEvent(channel_.commit_event.load());
    }
    // Viewers served and waiting to be taken.
    int load() const { return load_.load(); }
    ChannelRecord& channel() const { return channel_; }
    // Steps the viewers whose time came (all of them every longest wait). False when it has
    // no viewer left: it then never touches the channel record again unless TakeIncoming
    // finds one.
    bool Turn();
    // Adds what its wait watches (the channel's event, then the full sockets of full_) to
    // watched; the time of its next step.
    uint64_t Watch(std::vector<pollfd>& watched);
    // What the wait saw of what Watch added.
    void Woken(const std::vector<pollfd>& watched);
    bool TakeIncoming();

private:
    bool Stopped(const PacedViewer& viewer) const
    {
        return viewer.link.service_stop->load() != 0 || viewer.link.stop->load() != 0 || viewer.socket() < 0 ||
               viewer.hung_up;
    }
    void CheckHangUps();
    // Where a viewer waits after a step that kept it: due_, writer_waiters_ or full_ (a
    // resting viewer nowhere).
    void Place(PacedViewer* viewer, uint64_t now);
    void FullPass(uint64_t now);
    void DuePass(uint64_t now, bool committed);
    bool Step(PacedViewer& viewer, uint64_t now);
    bool CatchUp(PacedViewer& viewer, uint64_t now);
    bool CatchUpSlot(PacedViewer& viewer, const uint8_t* slot, int length);
    bool Stream(PacedViewer& viewer, uint64_t now);
    // The viewer found no next slot: its ring was retired (false: it ends), or it is at the
    // writer (took: packets taken by this step).
    bool AtWriter(PacedViewer& viewer, bool retired, bool took, uint64_t now);
    bool Append(PacedViewer& viewer, const uint8_t* data, int length, bool catch_up);
    // Adds bytes that stay where they are until the batch's send; spool: where they also are
    // in the spool (sent from there), or -1.
    void Gather(const uint8_t* data, std::size_t length, int64_t spool = -1)
    {
        batch_bytes_ += length;
        if (!pieces_.empty()) {
            iovec& back = pieces_.back();
            const int64_t back_spool = piece_spool_.back();
            const bool joins = spool < 0 ? back_spool < 0 && static_cast<const uint8_t*>(back.iov_base) + back.iov_len == data
                                         : back_spool >= 0 && back_spool + static_cast<int64_t>(back.iov_len) == spool;
            if (joins) {
                back.iov_len += length;
                return;
            }
        }
        pieces_.push_back({const_cast<uint8_t*>(data), length});
        piece_spool_.push_back(spool);
    }
    bool BatchFull() const { return pieces_.size() >= kBatchPieces || batch_bytes_ >= kBatchBytes; }
    void ClearBatch()
    {
        pieces_.clear();
        piece_spool_.clear();
        batch_bytes_ = 0;
        batch_length_ = 0;
    }
    bool Flush(PacedViewer& viewer, bool catch_up);
    // Sends pieces_ from `at` on until the socket is full; false on a failed send.
    bool SendPieces(PacedViewer& viewer, std::size_t& at, bool catch_up);
    bool SendUnsent(PacedViewer& viewer, uint64_t now);
    // Keeps what the socket did not take of the batch (from piece at on) for later.
    bool KeepUnsent(PacedViewer& viewer, std::size_t at, bool catch_up);
    // Copies unsent bytes out of the spool; false when they could not be read.
    bool Unspool(PacedViewer& viewer);
    // A viewer's unsent range keeps the spool's pages from kept_from on; one too far behind is
    // copied out instead. False when that failed (the viewer has failed).
    bool KeepSpooledUnsent(PacedViewer& viewer, int64_t& kept_from)
    {
        if (viewer.unsent.spool_length == 0) return true;
        if (viewer.unsent.spool_at >= spool_.end() - kSpoolBacklogBytes) {
            kept_from = std::min(kept_from, viewer.unsent.spool_at);
            return true;
        }
        return Unspool(viewer) || Fail(viewer, EIO, viewer.unsent.catch_up);
    }
    // Takes the socket out of blocking mode for sends from the spool (a bare stream only).
    static void PrepareSpooledSends(PacedViewer& viewer);
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
    void Release(PacedViewer* viewer)
    {
        load_.fetch_sub(1);
        DropSendLock(*viewer, true);
        if (viewer->restore_blocking && viewer->socket() >= 0) SetNonBlocking(viewer->socket(), false);
        const LiveViewerEnd ended = std::move(viewer->ended);
        const bool failed = viewer->send_failed;
        delete viewer;
        ended(failed);
    }

    ChannelRecord&            channel_;
    std::atomic<int>          load_{0};
    std::mutex                incoming_lock_;
    std::vector<PacedViewer*> incoming_;
    std::vector<PacedViewer*> viewers_;
    std::vector<pollfd>       hang_up_watch_;
    // Viewers by what they wait for. A viewer is in one of these at a time (entries of due_
    // whose viewer has a new deadline or has finished are passed over); all are emptied and
    // filled again by each full pass, the only place where viewers are released.
    struct Due {
        uint64_t     at;
        PacedViewer* viewer;
        bool operator>(const Due& other) const { return at > other.at; }
    };
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
    std::vector<PacedViewer*> writer_waiters_;
    std::vector<PacedViewer*> full_;              // unsent bytes: the socket is watched
    std::vector<PacedViewer*> pass_waiting_;      // scratch lists of a due pass
    std::vector<PacedViewer*> pass_full_;
    uint64_t                  next_full_pass_ms_ = 0;
    uint64_t                  next_hang_up_check_ms_ = 0;
    uint64_t                  turn_ms_ = 0;        // the time of the last turn
    int32_t                   observed_ = -1;      // the writer's index at the last turn
    bool                      signalled_ = false;  // the channel's event woke the last wait
    std::size_t               watched_at_ = 0;     // where its entries begin in the host's wait
    // The batch: pieces in the ring or in batch_ (the copied catch-up and framed units).
    std::vector<iovec>        pieces_;
    std::vector<int64_t>      piece_spool_;        // each piece's place in spool_, or -1
    std::size_t               batch_bytes_ = 0;
    uint8_t                   batch_[kLiveBlockSize * kBatchBlocks];
    int                       batch_length_ = 0;
    uint8_t                   framed_[kRingSlotSize + 64];   // one framed unit
    RingSpool                 spool_;
};

// A thread that serves the senders of several channels in one loop and one wait, so that ten
// channels of 400 viewers wake as seldom as one of 4000. There are at most as many hosts as
// cores; a new channel goes to a new host while there are fewer, else to the one with the
// fewest viewers. A sender without viewers is let go, and a host without senders ends, under
// the registry's lock, so that a viewer is never added to either once it has decided to end.
class SenderHost {
public:
    ~SenderHost()
    {
        Join();
        CloseWakeEvent(wake_);
    }
    bool Start()
    {
        wake_ = OpenWakeEvent();
        if (wake_ < 0) return false;
        thread_ = StartThread(Routine, this, "LiveSender");
        return thread_ != nullptr;
    }
    void Join()
    {
        if (thread_ != nullptr) StopThread(thread_);
        thread_ = nullptr;
    }
    // The caller holds the registry's lock.
    LiveSender* Find(ChannelRecord& channel)
    {
        const auto found = senders_.find(&channel);
        return found == senders_.end() ? nullptr : found->second.get();
    }
    LiveSender& Adopt(ChannelRecord& channel)
    {
        std::unique_ptr<LiveSender>& sender = senders_[&channel];
        sender = std::make_unique<LiveSender>(channel);
        std::lock_guard<std::mutex> held(arrived_lock_);
        arrived_.push_back(sender.get());
        SignalWakeEvent(wake_);
        return *sender;
    }
    int load() const
    {
        int viewers = 0;
        for (const auto& [channel, sender] : senders_) viewers += sender->load();
        return viewers;
    }
    int channels() const { return static_cast<int>(senders_.size()); }

private:
    static int32_t Routine(void* host)
    {
        BlockPipeSignal();                          // sends from the spool cannot say MSG_NOSIGNAL
        static_cast<SenderHost*>(host)->Run();
        EndThread();
    }
    void Run();
    // Lets the senders that found no viewer go; false when none is left (the host has then
    // handed itself to the registry's ended workers).
    bool LetIdleGo(std::vector<LiveSender*>& idle);

    ThreadRecord*                                           thread_ = nullptr;
    int                                                     wake_ = -1;
    std::map<ChannelRecord*, std::unique_ptr<LiveSender>> senders_;  // guarded by the registry's lock
    std::mutex                                              arrived_lock_;
    std::vector<LiveSender*>                                arrived_;  // adopted, not served yet
    std::vector<LiveSender*>                                serving_;  // the host's own thread only
};

using SenderRegistry = WorkerRegistry<uint64_t, std::unique_ptr<SenderHost>>;
SenderRegistry& Registry()
{
    static auto* registry = new SenderRegistry;   // never destroyed: senders may outlive main's statics
    return *registry;
}

bool LiveSender::TakeIncoming()
{
    std::lock_guard<std::mutex> held(incoming_lock_);
    for (PacedViewer* viewer : incoming_) {
        PrepareSpooledSends(*viewer);
        due_.push({viewer->due_ms, viewer});     // stepped at once
    }
    viewers_.insert(viewers_.end(), incoming_.begin(), incoming_.end());
    incoming_.clear();
    return !viewers_.empty();
}

void LiveSender::PrepareSpooledSends(PacedViewer& viewer)
{
    // A connection with another writer, or a framed output, is sent from memory.
    if (viewer.link.framing != nullptr || viewer.link.send_lock != nullptr || viewer.socket() < 0) return;
    if (IsNonBlocking(viewer.socket())) {
        viewer.spooled = true;
    } else if (SetNonBlocking(viewer.socket(), true)) {
        viewer.spooled = true;
        viewer.restore_blocking = true;       // given back as it was when the viewer leaves
    }
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
    Unsent& unsent = viewer.unsent;
    if (!TakeSendLock(viewer)) {
        // A reply goes out first; a connection that takes nothing still fails at its time-out.
        if (now - viewer.progress_ms >= static_cast<uint64_t>(kLiveSendTimeoutMs))
            return Fail(viewer, EAGAIN, unsent.catch_up);
        return true;
    }
    const std::size_t total = unsent.size();
    std::size_t taken = 0;
    while (taken < total) {
        ssize_t sent;
        if (unsent.spool_length > 0) {
            off_t from = unsent.spool_at + static_cast<int64_t>(taken);
            sent = sendfile(viewer.socket(), spool_.fd(), &from, total - taken);
        } else {
            sent = send(viewer.socket(), unsent.bytes.data() + taken, total - taken, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (sent > 0) {
            taken += static_cast<std::size_t>(sent);
            CountSent(viewer.link.sent_bytes, viewer.link.service_stats, static_cast<std::size_t>(sent));
            viewer.progress_ms = now;
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return Fail(viewer, errno, unsent.catch_up);
    }
    if (unsent.spool_length > 0) {
        unsent.spool_at += static_cast<int64_t>(taken);
        unsent.spool_length -= taken;
    } else {
        unsent.bytes.erase(unsent.bytes.begin(), unsent.bytes.begin() + static_cast<std::ptrdiff_t>(taken));
        if (unsent.bytes.empty()) std::vector<uint8_t>().swap(unsent.bytes);   // its room goes back too
    }
    DropSendLock(viewer);
    if (!unsent.empty() && now - viewer.progress_ms >= static_cast<uint64_t>(kLiveSendTimeoutMs))
        return Fail(viewer, EAGAIN, unsent.catch_up);
    return true;
}

bool LiveSender::Unspool(PacedViewer& viewer)
{
    Unsent& unsent = viewer.unsent;
    if (unsent.spool_length == 0) return true;
    const bool read = spool_.ReadBack(unsent.spool_at, unsent.spool_length, unsent.bytes);
    unsent.spool_length = 0;
    return read;
}

bool LiveSender::KeepUnsent(PacedViewer& viewer, std::size_t at, bool catch_up)
{
    Unsent& unsent = viewer.unsent;
    unsent.catch_up = catch_up;
    for (; at < pieces_.size(); ++at) {
        const int64_t spool = piece_spool_[at];
        const std::size_t length = pieces_[at].iov_len;
        // A range of the spool waits as one while it stays one.
        if (spool >= 0 && unsent.bytes.empty()) {
            if (unsent.spool_length == 0) unsent.spool_at = spool;
            if (unsent.spool_at + static_cast<int64_t>(unsent.spool_length) == spool) {
                unsent.spool_length += length;
                continue;
            }
        }
        if (!Unspool(viewer) || (spool >= 0 && !spool_.ReadBack(spool, length, unsent.bytes)))
            return Fail(viewer, EIO, catch_up);
        if (spool < 0) {
            const auto* data = static_cast<const uint8_t*>(pieces_[at].iov_base);
            unsent.bytes.insert(unsent.bytes.end(), data, data + length);
        }
    }
    return true;
}

bool LiveSender::SendPieces(PacedViewer& viewer, std::size_t& at, bool catch_up)
{
    while (at < pieces_.size()) {
        ssize_t sent;
        if (piece_spool_[at] >= 0) {
            off_t from = piece_spool_[at];
            sent = sendfile(viewer.socket(), spool_.fd(), &from, pieces_[at].iov_len);
        } else {
            std::size_t end = at;
            while (end < pieces_.size() && piece_spool_[end] < 0) ++end;
            msghdr message{};
            message.msg_iov    = pieces_.data() + at;
            message.msg_iovlen = end - at;
            sent = sendmsg(viewer.socket(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (sent <= 0) return Fail(viewer, errno, catch_up);
        CountSent(viewer.link.sent_bytes, viewer.link.service_stats, static_cast<std::size_t>(sent));
        for (; at < pieces_.size() && static_cast<std::size_t>(sent) >= pieces_[at].iov_len; ++at)
            sent -= static_cast<ssize_t>(pieces_[at].iov_len);
        if (sent > 0) {
            pieces_[at].iov_base = static_cast<uint8_t*>(pieces_[at].iov_base) + sent;
            pieces_[at].iov_len -= static_cast<std::size_t>(sent);
            if (piece_spool_[at] >= 0) piece_spool_[at] += sent;
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
    if (at < pieces_.size() && !KeepUnsent(viewer, at, catch_up)) {
        ClearBatch();
        return false;
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

// One catch-up slot (in the ring, just passed by the viewer's reader): from the spool when it
// holds the slot's packets whole, else copied into the batch.
bool LiveSender::CatchUpSlot(PacedViewer& viewer, const uint8_t* slot, int length)
{
    if (viewer.spooled && length % kTsPacketSize == 0) {
        const int32_t index = (viewer.ring.output_index() + kRingSlots - 1) % kRingSlots;
        const int64_t spool = spool_.OffsetOf(viewer.ring.buffer(), index, length);
        if (spool >= 0) {
            if (BatchFull() && !Flush(viewer, true)) return false;
            Gather(slot, static_cast<std::size_t>(length), spool);
            return true;
        }
    }
    return Append(viewer, slot, length, true);
}

// The catch-up passes that fell due since the last ones (a pass a millisecond), then (all
// done, or the writer reached) the start of the stream.
bool LiveSender::CatchUp(PacedViewer& viewer, uint64_t now)
{
    int due = static_cast<int>(std::min<uint64_t>(now - viewer.catch_up_last_ms, kRingSlots));
    viewer.catch_up_last_ms = now;
    bool reached = false;
    for (; due > 0 && viewer.passes_done < viewer.catch_up_passes; --due) {
        const uint8_t* slot = nullptr;
        int length = 0;
        if (!viewer.ring.CatchUpPeek(slot, length)) {
            reached = true;
            break;
        }
        ++viewer.passes_done;
        if (length > 0 && !CatchUpSlot(viewer, slot, length)) return false;
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

// Whole packets of the viewer's slot from its next one on before the next that carries a PCR.
int UntimedRun(const PacedViewer& viewer)
{
    const int next = viewer.slot_at / kTsPacketSize;
    const int left = viewer.slot_length / kTsPacketSize - next;
    const unsigned timed = static_cast<unsigned>(viewer.slot_pcrs) >> next;
    return timed == 0 ? left : std::min(left, std::countr_zero(timed));
}

// The stream from where the viewer stopped: packets straight from the ring's slots (into
// blocks first for a framed output), the batch out at each pacing point, where the viewer
// then sleeps the PCR time it covered. Pacing points fall on block boundaries.
bool LiveSender::Stream(PacedViewer& viewer, uint64_t now)
{
    viewer.waiting_for_writer = false;
    // The rest of a slot whose copy was given back meanwhile (the viewer slept behind the
    // window, or its ring was replaced) comes from the ring.
    if (viewer.slot_spool >= 0 && viewer.slot_spool < spool_.released()) viewer.slot_spool = -1;
    uint8_t* block = viewer.block.get();
    bool took = false;                       // packets taken by this step
    for (;;) {
        if (viewer.slot_at + kTsPacketSize > viewer.slot_length) {
            viewer.slot_at = 0;
            const RingReader::Next next = viewer.ring.PeekSlot(viewer.slot, viewer.slot_length, &viewer.slot_pcrs);
            viewer.slot_spool = -1;
            if (next == RingReader::Next::kSlot && viewer.spooled) {
                const int32_t index = (viewer.ring.output_index() + kRingSlots - 1) % kRingSlots;
                viewer.slot_spool = spool_.OffsetOf(viewer.ring.buffer(), index, viewer.slot_length);
            }
            if (next != RingReader::Next::kSlot) return AtWriter(viewer, next == RingReader::Next::kRetired, took, now);
        }
        while (viewer.slot_at + kTsPacketSize <= viewer.slot_length) {
            if (block == nullptr && viewer.clock.pending() < kPacingStepSeconds) {
                // Up to the next packet with a PCR, nothing happens but the gathering (no
                // pacing point before a PCR moves the clock): those packets join the batch at once.
                const int run = UntimedRun(viewer);
                if (run > 0) {
                    const int64_t spool = viewer.slot_spool < 0 ? -1 : viewer.slot_spool + viewer.slot_at;
                    Gather(viewer.slot + viewer.slot_at, static_cast<std::size_t>(run) * kTsPacketSize, spool);
                    viewer.slot_at += run * kTsPacketSize;
                    took = true;
                    viewer.block_packets = (viewer.block_packets + run) % kBlockPackets;
                    if (BatchFull() && !Flush(viewer, false)) return false;
                    if (!viewer.unsent.empty()) return Flush(viewer, false);
                    continue;
                }
            }
            const uint8_t* packet = viewer.slot + viewer.slot_at;
            // Only a packet the writer marked is looked at for its PCR: the packets themselves
            // stay untouched on their way from the ring to the socket.
            const bool timed = (viewer.slot_pcrs & (1u << (viewer.slot_at / kTsPacketSize))) != 0;
            const int64_t spool = viewer.slot_spool < 0 ? -1 : viewer.slot_spool + viewer.slot_at;
            viewer.slot_at += kTsPacketSize;
            took = true;
            if (block != nullptr)
                std::memcpy(block + viewer.block_packets * kTsPacketSize, packet, kTsPacketSize);
            else
                Gather(packet, kTsPacketSize, spool);
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

bool LiveSender::AtWriter(PacedViewer& viewer, bool retired, bool took, uint64_t now)
{
    viewer.slot_length = 0;
    if (retired) {
        // The channel's input closed (a refresh or a shutdown): the player reconnects to
        // whatever runs now instead of waiting on a dead ring.
        LogSystemMessage(viewer.link.closed_text, viewer.number);
        Flush(viewer, false);
        return false;
    }
    // After gathering something, what came ends the step, and the viewer sleeps a whole step
    // rather than sending what each commit brings (a send and a player's wake-up per
    // datagram). Datagram outputs go on at once.
    if (!Flush(viewer, false)) return false;
    const bool datagrams = viewer.link.framing != nullptr && viewer.link.framing->datagrams();
    if (took && !datagrams) {
        viewer.clock.ClearPending();
        viewer.due_ms = now + kEdgeSleepMs;
        return true;
    }
    viewer.waiting_for_writer = true;
    return true;
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

void LiveSender::Place(PacedViewer* viewer, uint64_t now)
{
    if (viewer->resting) return;                 // looked at again by the next full pass
    if (!viewer->unsent.empty())
        full_.push_back(viewer);
    else if (viewer->due_ms > now)
        due_.push({viewer->due_ms, viewer});
    else if (viewer->waiting_for_writer)
        writer_waiters_.push_back(viewer);
    else
        due_.push({viewer->due_ms = now + kCatchUpTickMs, viewer});
}

void LiveSender::FullPass(uint64_t now)
{
    if (now >= next_hang_up_check_ms_) {
        CheckHangUps();
        next_hang_up_check_ms_ = now + kHangUpCheckMs;
    }
    due_ = {};
    writer_waiters_.clear();
    full_.clear();
    std::size_t kept = 0;
    int64_t spool_kept_from = spool_.end();
    for (PacedViewer* viewer : viewers_) {
        if (viewer->finished || !Step(*viewer, now) || !KeepSpooledUnsent(*viewer, spool_kept_from)) {
            Release(viewer);
            continue;
        }
        viewers_[kept++] = viewer;
        Place(viewer, now);
    }
    viewers_.resize(kept);
    spool_.Release(spool_kept_from);
    next_full_pass_ms_ = now + kLongestWaitMs;
}

// Steps only the viewers whose time came: deadlines that passed, sockets that take data again
// (or whose time-out passed) and, after a commit, the viewers waiting for the writer. A viewer
// that fails is released by the next full pass.
void LiveSender::DuePass(uint64_t now, bool committed)
{
    auto step = [&](PacedViewer* viewer) {
        if (Step(*viewer, now)) Place(viewer, now);
        else viewer->finished = true;
    };
    // The lists are swapped with scratch lists that keep their room, so a pass allocates nothing.
    pass_waiting_.clear();
    if (committed) pass_waiting_.swap(writer_waiters_);
    pass_full_.clear();
    pass_full_.swap(full_);
    for (PacedViewer* viewer : pass_full_) {
        if (viewer->writable || now - viewer->progress_ms >= static_cast<uint64_t>(kLiveSendTimeoutMs)) step(viewer);
        else full_.push_back(viewer);
    }
    for (PacedViewer* viewer : pass_waiting_) step(viewer);
    while (!due_.empty() && due_.top().at <= now) {
        const Due next = due_.top();
        due_.pop();
        if (!next.viewer->finished && next.viewer->due_ms == next.at) step(next.viewer);
    }
}

bool LiveSender::Turn()
{
    if (!TakeIncoming()) return false;
    // Read after the viewers are taken: a new viewer's catch-up clock starts before it.
    const uint64_t now = turn_ms_ = GetTickMs();
    const int32_t input = channel_.input_index.load();
    // Every viewer is looked at (stops, pauses, hang-ups) at least once a longest wait; in
    // between only those whose time came.
    if (now >= next_full_pass_ms_) FullPass(now);
    else DuePass(now, input != observed_ || signalled_);
    observed_ = input;
    signalled_ = false;
    // The channel record lives as long as its viewers' tables: without viewers, never touch it.
    return !viewers_.empty();
}

uint64_t LiveSender::Watch(std::vector<pollfd>& watched)
{
    const uint64_t now = turn_ms_;
    // Wakes at the earliest deadline, a socket that takes data again, a new viewer, or (when a
    // viewer waits for data) the writer's next commit. The flag is set before the index is
    // looked at again, so a commit in between is never missed.
    watched_at_ = watched.size();
    watched.push_back({channel_.commit_event.load(), POLLIN, 0});
    uint64_t wake_at = next_full_pass_ms_;
    while (!due_.empty() && (due_.top().viewer->finished || due_.top().viewer->due_ms != due_.top().at)) due_.pop();
    if (!due_.empty()) wake_at = std::min(wake_at, due_.top().at);
    for (PacedViewer* viewer : full_) {
        watched.push_back({viewer->socket(), POLLOUT, 0});
        wake_at = std::min(wake_at, viewer->progress_ms + kLiveSendTimeoutMs);
    }
    if (!writer_waiters_.empty()) {
        channel_.commit_wanted.store(true);
        if (channel_.input_index.load() != observed_) wake_at = now;
    }
    return std::max(wake_at, now);
}

void LiveSender::Woken(const std::vector<pollfd>& watched)
{
    if ((watched[watched_at_].revents & POLLIN) != 0) {
        ClearWakeEvent(watched[watched_at_].fd);
        signalled_ = true;                         // a commit, or the ring's retirement
    }
    for (std::size_t i = 0; i < full_.size(); ++i)
        if (watched[watched_at_ + 1 + i].revents != 0) full_[i]->writable = true;
    channel_.commit_wanted.store(false);
}

bool SenderHost::LetIdleGo(std::vector<LiveSender*>& idle)
{
    SenderRegistry& registry = Registry();
    std::lock_guard<std::mutex> held(registry.lock);
    for (LiveSender* sender : idle) {
        if (sender->TakeIncoming()) continue;     // a viewer came meanwhile: served next turn
        serving_.erase(std::find(serving_.begin(), serving_.end(), sender));
        senders_.erase(&sender->channel());       // its address only: the record may be gone
    }
    idle.clear();
    if (!senders_.empty()) return true;
    for (auto it = registry.running.begin(); it != registry.running.end(); ++it) {
        if (it->second.get() != this) continue;
        registry.ended.push_back(std::move(it->second));
        registry.running.erase(it);
        break;
    }
    return false;                                  // joined by the next registration or the service's stop
}

void SenderHost::Run()
{
    std::vector<pollfd>      watched;   // [0] the host's event, then each sender's entries
    std::vector<LiveSender*> idle;
    for (;;) {
        {
            std::lock_guard<std::mutex> held(arrived_lock_);
            serving_.insert(serving_.end(), arrived_.begin(), arrived_.end());
            arrived_.clear();
        }
        for (LiveSender* sender : serving_)
            if (!sender->Turn()) idle.push_back(sender);
        if (!idle.empty() && !LetIdleGo(idle)) return;

        // An empty host (started, its first sender not adopted yet) waits for its event.
        watched.assign(1, {wake_, POLLIN, 0});
        uint64_t wake_at = GetTickMs() + kLongestWaitMs;
        for (LiveSender* sender : serving_) wake_at = std::min(wake_at, sender->Watch(watched));
        const uint64_t after = GetTickMs();
        const int timeout = wake_at > after ? static_cast<int>(wake_at - after) : 0;
        if (poll(watched.data(), watched.size(), timeout) > 0 && (watched[0].revents & POLLIN) != 0)
            ClearWakeEvent(wake_);
        for (LiveSender* sender : serving_) sender->Woken(watched);
    }
}

}  // namespace

// The host for a channel without a sender: a new one while there are fewer than cores, else
// the one with the fewest viewers; null when none could start. The caller holds the lock.
static SenderHost* HostForNewChannel(SenderRegistry& registry)
{
    static const auto most = static_cast<std::size_t>(UsableCores());
    static uint64_t next_key = 0;
    SenderHost* least = nullptr;
    for (const auto& [key, host] : registry.running)
        if (least == nullptr || host->load() < least->load()) least = host.get();
    if (least != nullptr && registry.running.size() >= most) return least;
    auto host = std::make_unique<SenderHost>();
    if (!host->Start()) return least;
    SenderHost* started = host.get();
    registry.running[next_key++] = std::move(host);
    return started;
}

// Hands the viewer to its channel's sender, adopted by a host when there is none; false when
// none runs. The caller holds the registry's lock.
static bool AddUnderLock(SenderRegistry& registry, ChannelRecord& channel, std::unique_ptr<PacedViewer> viewer)
{
    const int thread_number = viewer->number;
    if (channel.commit_event.load() < 0) channel.commit_event.store(OpenWakeEvent());
    if (channel.commit_event.load() < 0) {
        LogSystemMessage("Thread[%d]: live sender: no wake event\n", thread_number);
        return false;
    }
    LiveSender* sender = nullptr;
    for (const auto& [key, host] : registry.running)
        if ((sender = host->Find(channel)) != nullptr) break;
    if (sender == nullptr) {
        SenderHost* host = HostForNewChannel(registry);
        if (host == nullptr) {
            LogSystemMessage("Thread[%d]: live sender: its thread did not start\n", thread_number);
            return false;
        }
        sender = &host->Adopt(channel);
    }
    sender->Add(viewer.release());
    return true;
}

static bool AddToSender(ChannelRecord& channel, std::unique_ptr<PacedViewer> viewer)
{
    viewer->catch_up_passes = viewer->ring.catch_up_passes();
    viewer->catch_up_last_ms = GetTickMs() - 1;
    SenderRegistry& registry = Registry();
    return registry.Register([&] { return AddUnderLock(registry, channel, std::move(viewer)); });
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

int LiveSenderCount()
{
    SenderRegistry& registry = Registry();
    std::lock_guard<std::mutex> held(registry.lock);
    int channels = 0;
    for (const auto& [key, host] : registry.running) channels += host->channels();
    return channels;
}
