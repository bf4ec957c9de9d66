// The stored-file and time-shift modes of an RTSP session.

#include "rtsp/rtsp_service.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"

// Until the files are streamed, a playing session keeps its data thread until it ends.
static void HoldUntilEnd(RtspConnection& conn)
{
    while (conn.stop.load() == 0 && g_rtsp_stop_state.load() == 0 && !ProcessStopRaised()) conn.wake.WaitFor(1000);
}

void RtspStreamStoredFile(RtspConnection& conn, int /*thread_number*/) { HoldUntilEnd(conn); }

void RTSP_Time_Shift_Video_Streaming(RtspConnection& conn, int /*thread_number*/) { HoldUntilEnd(conn); }
