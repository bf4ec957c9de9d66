#pragma once
// Paced viewers of packet-aligned live channels (UDP and RTP inputs). A thread per viewer that
// sleeps between pacing points and wakes at the writer's commits costs more than the sending
// itself once hundreds watch: instead one sender thread per channel serves all of that
// channel's viewers. Each viewer keeps its own ring position, PCR clock and pacing deadline;
// the thread sleeps in one poll() until the earliest deadline, the writer's next commit (when a
// viewer waits for data) or a full socket taking data again. What each viewer receives, and
// when, is what its own thread would have sent.

#include "channels/channel_table.h"
#include "http/connection.h"
#include "ingest/real_buffer.h"

#include <cstdint>

constexpr int kLiveBlockSize = kTsBlockSize;      // seven packets: one block of output
// A send that takes no byte for this long fails like a blocking send with the client's
// send time-out (EAGAIN).
constexpr int kLiveSendTimeoutMs = 5000;

// A live reader's clock: PCR differences (0.995 of them) add up to the interval the reader
// still has to sleep.
class LivePcrClock {
public:
    // Takes the packet's PCR if it has one; logs a PCR that went backwards.
    void Take(const uint8_t* packet, PlayerConnection& conn);
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

// Serves conn from ring's position on (its join slot already sent): the catch-up passes (about
// one slot a millisecond), then the stream in 1316-byte blocks, sent in one go per pacing step
// of at least 100 ms of PCR time and paced by the PCR unless the reader lags. Blocks the
// calling thread until the viewer stops or a send fails; true when a send failed (its errno
// logged with the thread number).
bool ServePacedViewer(ChannelRecord& channel, RingReader& ring, PlayerConnection& conn, int thread_number);

// Joins the threads of senders left without viewers; with wait_ms, waits up to that long for
// the running ones to end too (the HTTP service's stop, after its connections ended).
void JoinIdleLiveSenders(uint32_t wait_ms = 0);
// Senders running now (tests).
int LiveSenderCount();
