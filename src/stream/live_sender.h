#pragma once
// Paced viewers of packet-aligned live channels (UDP and RTP inputs). A thread per viewer that
// sleeps between pacing points and wakes at the writer's commits costs more than the sending
// itself once hundreds watch: instead each channel's viewers are served by one sender, and a
// sender thread (at most one per core) serves the senders of several channels. Each viewer
// keeps its own ring position, PCR clock and pacing deadline; the thread sleeps in one poll()
// until the earliest deadline, a writer's next commit (when a viewer waits for data) or a full
// socket taking data again. What each viewer receives, and when, is what its own thread would
// have sent.

#include "channels/channel_table.h"
#include "ingest/real_buffer.h"
#include "net/connection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

constexpr int kLiveBlockSize = kTsBlockSize;      // seven packets: one block of output
// A send that takes no byte for this long fails like a blocking send with the client's
// send time-out (EAGAIN).
constexpr int kLiveSendTimeoutMs = 5000;

// A live reader's clock: PCR differences (0.995 of them) add up to the interval the reader
// still has to sleep.
class LivePcrClock {
public:
    // Takes the packet's PCR if it has one (and stores it in *last_pcr when given); logs a
    // PCR that went backwards. A PCR behind the last one or more than a second ahead of it
    // starts the clock again from itself.
    void Take(const uint8_t* packet, int64_t* last_pcr);
    double pending() const { return pending_; }
    void ClearPending() { pending_ = 0; }
    void Reset()
    {
        reference_ = -1;
        pending_ = 0;
    }

private:
    int64_t reference_ = -1;
    double  pending_ = 0;
};

// How an output frames what it sends: each catch-up slot and each 1316-byte block is one unit.
class LiveFraming {
public:
    virtual ~LiveFraming() = default;
    // The most bytes Frame adds to a unit.
    virtual int overhead() const = 0;
    // Writes the framed unit to out (room for length + overhead()); its length.
    virtual int Frame(const uint8_t* data, int length, uint8_t* out) = 0;
    // Outputs of datagrams send each framed unit themselves, at once; false ends the viewer.
    virtual bool datagrams() const { return false; }
    virtual bool SendDatagram(const uint8_t* /*data*/, int /*length*/) { return false; }
};

// What the sender needs of a viewer: its connection's socket and stop flag, its service's
// stop state, where its PCR goes, its framing (null: the bare stream) and its texts.
struct LiveViewerLink {
    std::atomic<int>*           socket = nullptr;        // the TCP connection (hang-ups, stream sends)
    std::atomic<uint8_t>*       stop = nullptr;          // set when a send fails
    const std::atomic<uint8_t>* paused = nullptr;        // non-zero: hold the viewer where it is
    const std::atomic<int32_t>* service_stop = nullptr;  // non-zero: the service is stopping
    int64_t*                    last_pcr = nullptr;
    LiveFraming*                framing = nullptr;
    // A connection with another writer (the replies of RTSP): written only under this lock,
    // held from the first byte of a batch to its last so that a reply never lands inside a
    // packet. Null: the sender is the connection's only writer.
    std::mutex*                 send_lock = nullptr;
    // Where the bytes it sends are counted (null: not counted).
    std::atomic<uint64_t>*      sent_bytes = nullptr;
    ServiceStats*               service_stats = nullptr;
    int                         thread_number = 0;
    // "%d" thread number, "%d" errno; the catch-up's failure goes to standard output when
    // catch_up_error_on_console.
    const char*                 catch_up_error = "Thread[%d]:  IPTV_TS_HTTP_DataThread: errorno is [%d]\n";
    bool                        catch_up_error_on_console = true;
    const char*                 stream_error = "Thread[%d]: IPTV_TS_HTTP_DataThread 5: errorno is [%d]\n";
    const char*                 closed_text = "Thread[%d]: IPTV_TS_HTTP_DataThread : Channel input closed\n";
};

// Serves a viewer from ring's position on (its join slot already sent): the catch-up passes
// (about one slot a millisecond), then the stream in 1316-byte blocks, sent in one go per
// pacing step of at least 200 ms of PCR time and paced by the PCR unless the reader lags. A
// viewer that reached the writer sends what it took and sleeps a step before it takes more.
// Blocks the calling thread until the viewer stops or a send fails; true when a send failed
// (its errno logged with the thread number).
bool ServePacedViewer(ChannelRecord& channel, RingReader& ring, const LiveViewerLink& link);

// Called on the sender's thread once a handed viewer has stopped (failed: a send failed), as
// the sender's last access to the viewer: what the link points to may go with it.
using LiveViewerEnd = std::function<void(bool failed)>;
// Serves the viewer as ServePacedViewer does, but returns at once: the viewer needs no thread
// of its own while it watches. The sender owns ring from now on. False when no sender could
// take the viewer (logged); ended is then never called and the caller ends the viewer.
bool HandToLiveSender(ChannelRecord& channel, std::unique_ptr<RingReader> ring, const LiveViewerLink& link,
                      LiveViewerEnd ended);

// Joins the sender threads left without viewers; with wait_ms, waits up to that long for
// the running ones to end too (a service's stop, after its connections ended).
void JoinIdleLiveSenders(uint32_t wait_ms = 0);
// Channels with a sender now (tests).
int LiveSenderCount();
