#pragma once
// What the stored-file and time-shift modes of an RTSP session share besides the file reading,
// seeking and pacing of media/ts_file.h and stream/pacing.h: the session's run test, the wait
// while paused and the pacing sleep.

#include "media/ts_file.h"
#include "media/ts_timing.h"
#include "stream/pacing.h"

#include <cstdint>

class RtspConnection;

// True while the session streams: its stop flag clear, the service and the process running.
bool RtspSessionRunning(const RtspConnection& conn);
// Holds the data thread while the session is paused; true when it may go on streaming.
bool WaitWhilePaused(RtspConnection& conn);
// Sleeps ms (at most kMaxPaceSleepMs) on the session's wake-up semaphore, so that a
// TEARDOWN, a close or a displacement ends the sleep at once.
void PaceSleep(RtspConnection& conn, int64_t ms);
