#include "ingest/channel_reader.h"

#include "core/log.h"
#include "core/server_control.h"

int32_t IPTV_Channel_ReaderProcess(void* /*unused*/)
{
    g_startup_sema.Signal();
    g_reader_stop_gate.Wait();
    LogSystemMessage("IPTV_Channel_ReaderProcess IN: Closing\n");
    g_channel_reader_stop.store(0);
    LogSystemMessage("IPTV_Channel_ReaderProcess OUT\n");
    EndThread();
}
