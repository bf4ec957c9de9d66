// The live mode of an RTSP session: the channel's ring through the shared live sender, or a
// directory channel's playlist.

#include "rtsp/rtsp_service.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"

void IPTV_TS_RTSP_DataThread(RtspConnection& conn, int /*thread_number*/)
{
    while (conn.stop.load() == 0 && g_rtsp_stop_state.load() == 0 && !ProcessStopRaised()) conn.wake.WaitFor(1000);
}
