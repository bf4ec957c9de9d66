#include "server/startup.h"

#include "channels/channel_log.h"
#include "channels/channel_table.h"
#include "channels/menu_documents.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "http/http_cgi.h"
#include "http/http_request.h"
#include "http/http_service.h"
#include "ingest/channel_reader.h"
#include "ingest/guide_reader.h"
#include "players/player_server.h"
#include "rest/player_rest.h"
#include "rest/server_rest.h"
#include "rest/token_service.h"
#include "rtsp/rtsp_service.h"
#include "server/metrics.h"
#include "server/status_history.h"
#include "stream/multicast_output.h"
#include "users/channel_packages.h"
#include "users/movie_fee.h"
#include "users/usage_log.h"
#include "users/user_db.h"
#include "vod/vod_service.h"

#include <cstdio>
#include <cstring>

static constexpr const char* kVersionName = "Corvatelix";    // ten characters
static constexpr const char* kAboutText   = "Quorvane 7.0";

// Service threads, null while not started. Written by the main thread (and, for the reader,
// by a channel refresh under g_channel_reader_control_lock).
static ThreadRecord* g_http_listener_thread  = nullptr;
static ThreadRecord* g_channel_reader_thread = nullptr;
static ThreadRecord* g_channel_log_thread    = nullptr;
static ThreadRecord* g_guide_reader_thread   = nullptr;
static ThreadRecord* g_status_sampler_thread = nullptr;
static ThreadRecord* g_rtsp_listener_thread  = nullptr;
static ThreadRecord* g_multicast_thread      = nullptr;
static ThreadRecord* g_tml_refresh_thread    = nullptr;
static ThreadRecord* g_player_server_thread  = nullptr;
static ThreadRecord* g_vod_listener_thread   = nullptr;

CriticalSection g_channel_reader_control_lock;

static bool MulticastOff() { return std::strcmp(g_config.igmpip, "0.0.0.0") == 0; }

// Starts a service thread and waits for its one release of the start-up semaphore. False
// when the service reported a start failure, or when its thread could not be created (then
// no release comes, so there is nothing to wait for).
static bool StartService(ThreadRecord*& record, ThreadRoutine routine, const char* name,
                         std::atomic<int32_t>& start_failed)
{
    record = StartThread(routine, nullptr, name);
    if (record == nullptr) return false;
    g_startup_sema.Wait();
    return start_failed.load() == 0;
}

static void StopIfStarted(ThreadRecord*& record)
{
    if (record == nullptr) return;
    StopThread(record);
    record = nullptr;
}

// The REST "refresh_channel" command.
static void RefreshChannels()
{
    // Held over close, reload and restart, so that two refreshes never interleave.
    ScopedLock held(g_channel_reader_control_lock);
    if (CloseChannelReader() == 0) return;          // stopping
    if (LoadChannelTable(true) == 0) LogSystemMessage("IPTV EPG Update: Channel table reload failed\n");
    RestartChannelReader();
}

int8_t StartupSequence()
{
    if (LoadConfiguration() == 0) LogSystemMessage("Quorvane Configuration File Error.\n");
    if (LoadDnsServerFile() == 0) LogSystemMessage("Quorvane DNS File not exist.\n");
    if (g_config.system_log != 0) OpenLogFile();
    LogSystemMessage("%s Quorvane version: 7.0 (Build 2012.08.001)\n", kVersionName);
    if (LoadUsers() == 0) LogSystemMessage("User Profile File Error.\n");
    LoadChannelPackages();
    if (LoadChannelTable(false) == 0) return 0;
    if (g_config.tv_on_demand_record_duration > 0) WriteMenuDocuments();
    if (LoadMovieFees() == 0) LogSystemMessage("Movie Fee File Error.\n");
    OpenUserLogs();

    g_token_rest_handler  = TokenRestHandler;
    g_server_rest_handler = ServerRestHandler;
    g_channel_refresh     = RefreshChannels;
    g_cgi_root_check      = IsRootToken;
    g_metrics_route       = ServeMetricsRequest;
    g_metrics_claims      = IsMetricsRequest;

    if (!StartService(g_http_listener_thread, HTTPServerProcess, "HTTPServer", g_http_start_failed)) return 0;
    if (!StartService(g_vod_listener_thread, VOD_RTP_UDP_ServerProcess, "VODServer", g_vod_start_failed)) return -2;
    if (!StartService(g_rtsp_listener_thread, RTSPServerProcess, "RTSPServer", g_rtsp_start_failed)) return -2;

    // The set-top management server; without port 6001 the rest of the server runs anyway.
    g_player_rest_handler   = PlayerRestHandler;
    g_player_server_stopped = FreeAllTokens;
    g_player_server_thread  = StartThread(Player_Mangment_Thread, nullptr, "PlayerServer");
    if (g_player_server_thread != nullptr) g_startup_sema.Wait();

    {
        ScopedLock held(g_channel_reader_control_lock);
        g_reader_stop_gate.Close();
        if (!StartService(g_channel_reader_thread, IPTV_Channel_ReaderProcess, "ChannelReader",
                          g_channel_reader_start_failed))
            return -1;
    }

    g_channel_log_thread = StartThread(ChannelLogWriter, nullptr, "ChannelLog");
    if (g_channel_log_thread == nullptr) return -1;
    g_guide_reader_stop.store(0);
    g_guide_reader_thread = StartThread(GuideReaderThread, nullptr, "GuideReader");
    g_status_history.Clear();
    g_status_sampler_thread = StartThread(StatusSamplerThread, nullptr, "StatusSampler");

    g_multicast_stop.store(0);
    if (!MulticastOff()) {
        g_multicast_stop_gate.Close();
        StartService(g_multicast_thread, IPTV_IGMP_Server, "IGMPServer", g_multicast_start_failed);
    }
    if (g_config.tv_on_demand_record_duration > 0)
        g_tml_refresh_thread = StartThread(TML_Refresh_Process, nullptr, "TMLRefresh");
    return 1;
}

void ShutdownSequence()
{
    g_http_stop_state.store(1);
    g_rtmp_stop_state.store(1);
    g_rtsp_stop_state.store(1);
    g_vod_stop_state.store(1);
    g_player_stop_state.store(1);
    g_channel_reader_stop.store(1);
    g_multicast_stop.store(1);
    g_channel_log_stop.store(1);
    g_guide_reader_stop.store(1);
    RaiseProcessStop();

    if (!MulticastOff()) g_multicast_stop_gate.Open();

    StopIfStarted(g_tml_refresh_thread);
    StopIfStarted(g_http_listener_thread);
    StopIfStarted(g_rtsp_listener_thread);
    StopIfStarted(g_vod_listener_thread);
    {
        // A refresh holds this lock from its close to its restart; once it has it back, the
        // process stop is raised, so no refresh starts a reader again after this.
        ScopedLock held(g_channel_reader_control_lock);
        g_channel_reader_stop.store(1);
        g_reader_stop_gate.Open();
        StopIfStarted(g_channel_reader_thread);
    }
    StopIfStarted(g_multicast_thread);

    // Its command threads send "REST" to every active box as they end; the token list goes
    // with it (and here as well, should it never have started).
    StopIfStarted(g_player_server_thread);
    FreeAllTokens();
    StopIfStarted(g_channel_log_thread);
    StopIfStarted(g_guide_reader_thread);
    StopIfStarted(g_status_sampler_thread);

    FreeChannelTable();
    FreeUsers();
    FreeMovieFees();
    CloseUserLogs();

    LogSystemMessage("piaKVR_XANCP_IPTV_VOD_Server_Uninitialization finished\n");
    if (g_config.system_log != 0) CloseLogFile();
}

int CloseChannelReader()
{
    ScopedLock held(g_channel_reader_control_lock);
    if (ProcessStopRaised()) return 0;              // the shutdown closes the reader itself
    LogSystemMessage("IPTV EPG Update: Close IPTV Channel Reader Thread\n");
    g_channel_reader_stop.store(1);
    g_reader_stop_gate.Open();
    StopIfStarted(g_channel_reader_thread);
    LogSystemMessage("IPTV EPG Update: Finished to Close IPTV Channel Reader Thread\n");
    return 1;
}

int RestartChannelReader()
{
    ScopedLock held(g_channel_reader_control_lock);
    if (ProcessStopRaised()) return 0;              // stopping: nothing is started again
    LogSystemMessage("IPTV EPG Update: Restart IPTV Channel Reader Thread\n");
    g_channel_reader_stop.store(0);
    g_reader_stop_gate.Close();
    // A reader still running (restart without close) is closed first: one reader at a time.
    if (g_channel_reader_thread != nullptr) {
        g_reader_stop_gate.Open();
        StopIfStarted(g_channel_reader_thread);
        g_channel_reader_stop.store(0);
        g_reader_stop_gate.Close();
    }
    if (g_config.tv_on_demand_record_duration > 0) WriteMenuDocuments();
    g_channel_reader_thread = StartThread(IPTV_Channel_ReaderProcess, nullptr, "ChannelReader");
    if (g_channel_reader_thread == nullptr) return -1;
    g_startup_sema.Wait();
    // The multicast threads follow the rings of the old table until they start on the new one.
    RestartMulticastChannels();
    return 1;
}

int QuorvaneMain()
{
    PrepareProcessSignals();
    RaiseOpenFileLimit();
    LimitHeapsToCores();

    char banner[64];
    FormatText(banner, "%s %s 7.0", "Corvatelix", "Quorvane");
    LogStartupMessage("Start %s ...\n", banner);

    char local_ip[32];
    GetLocalIpAddress(local_ip, sizeof local_ip);
    LogStartupMessage("Quorvane IP is %s\n", local_ip);

    char status_line_1[256] = "";
    char status_line_2[256] = "";
    switch (StartupSequence()) {
    case 0:
        CopyText(status_line_1, "HTTP Server is not available");
        LogStartupMessage("%s\n", status_line_1);
        break;
    case -1:
        CopyText(status_line_1, "Channel service is not available");
        LogStartupMessage("%s\n", status_line_1);
        break;
    case -2:
        CopyText(status_line_1, "VOD service is not available");
        LogStartupMessage("%s\n", status_line_1);
        break;
    default:
        FormatText(status_line_1, "System Management : http://%s:%s/admin/index.htm", local_ip, g_config.httpport);
        FormatText(status_line_2, "Online Video Service : http://%s:%s", local_ip, g_config.httpport);
        LogStartupMessage("%s\n", status_line_1);
        LogStartupMessage("%s\n", status_line_2);
        LogStartupMessage("Quorvane is running...");
        break;
    }

    if (!ShowStatusDisplay(kAboutText, "Quorvane in Running", status_line_1, status_line_2)) return 0;
    WaitForDestroyMessage(kAboutText);

    ShutdownSequence();
    LogStartupMessage("Quorvane OUT\n");
    return 0;
}
