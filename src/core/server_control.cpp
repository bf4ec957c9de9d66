#include "core/server_control.h"

#include "core/log.h"

std::atomic<int32_t> g_http_stop_state{0};
std::atomic<int32_t> g_rtsp_stop_state{0};
std::atomic<int32_t> g_vod_stop_state{0};
std::atomic<int32_t> g_rtmp_stop_state{0};
std::atomic<int32_t> g_player_stop_state{0};
std::atomic<int32_t> g_channel_reader_stop{0};
std::atomic<int32_t> g_multicast_stop{0};
std::atomic<int32_t> g_channel_log_stop{0};

std::atomic<int32_t> g_http_start_failed{0};
std::atomic<int32_t> g_vod_start_failed{0};
std::atomic<int32_t> g_rtsp_start_failed{0};
std::atomic<int32_t> g_channel_reader_start_failed{0};
std::atomic<int32_t> g_multicast_start_failed{0};

TmlSema g_startup_sema(0);
Gate    g_reader_stop_gate;
Gate    g_multicast_stop_gate;

void RequestShutdown()
{
    LogStartupMessage("Get Shutodwn Command\r\n");
    PostDestroyMessage();
}
