#pragma once
// Process-wide service control: the stop states every service polls, the start-failure
// flags, the start-up semaphore and the two stop gates.

#include "core/platform/platform.h"
#include "core/threads.h"

#include <atomic>
#include <cstdint>

// 0 running, 1 stop requested, 2 listener closing.
extern std::atomic<int32_t> g_http_stop_state;
extern std::atomic<int32_t> g_rtsp_stop_state;
extern std::atomic<int32_t> g_vod_stop_state;
extern std::atomic<int32_t> g_rtmp_stop_state;          // 0 / 1
// 0 running, 1 stop requested, 2 stop the player monitor too.
extern std::atomic<int32_t> g_player_stop_state;
extern std::atomic<int32_t> g_channel_reader_stop;      // 0 / 1
extern std::atomic<int32_t> g_multicast_stop;           // 0 / 1
extern std::atomic<int32_t> g_channel_log_stop;         // 0 / 1

// Set to 1 by a service that could not open its socket (or, for the channel reader, found
// the channel table bad).
extern std::atomic<int32_t> g_http_start_failed;
extern std::atomic<int32_t> g_vod_start_failed;
extern std::atomic<int32_t> g_rtsp_start_failed;
extern std::atomic<int32_t> g_channel_reader_start_failed;
extern std::atomic<int32_t> g_multicast_start_failed;

// Every service thread start-up waits for releases this exactly once.
extern TmlSema g_startup_sema;
// Hold the channel reader and the multicast server until they are to close.
extern Gate g_reader_stop_gate;
extern Gate g_multicast_stop_gate;

// Asks the main thread to run the shutdown sequence; returns at once.
void RequestShutdown();
