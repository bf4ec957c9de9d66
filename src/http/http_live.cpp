#include "http/http_live.h"

#include "core/config.h"
#include "core/log.h"
#include "core/server_control.h"
#include "core/text.h"
#include "http/http_service.h"
#include "users/usage_log.h"

#include <cstdlib>
#include <cstring>
#include <string>

static int32_t NoChannels() { return 0; }
int32_t (*g_live_channel_count)() = NoChannels;

// The number between the last "/" and ".ch"; 0 when the path holds no ".ch".
static int ChannelRequested(const char* path)
{
    const char* ch = std::strstr(path, ".ch");
    if (ch == nullptr) return 0;
    const char* start = ch;
    while (start > path && start[-1] != '/') --start;
    return std::atoi(std::string(start, ch).c_str());
}

int32_t IPTV_TS_HTTP_DataThread(void* connection)
{
    auto& conn = *static_cast<PlayerConnection*>(connection);
    const int number = ThreadNumber();
    int channel = 0;
    bool joined = false;
    bool error_close = false;
    {
        LogSystemMessage("*** IPTV_TS_HTTP_DataThread [%d] IN\n", number);
        AddTotalConnection(1);
        if (conn.stop.load() != 0) {
            LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (IN Cmd STOP)\n", number);
        } else {
            LogSystemMessage("Thread[%d]: IPTV_TS_HTTP_DataThread (IN)\n", number);
            if (g_config.user_authorization && std::strcmp(conn.user_name, "root") != 0) DiscardPreviousConnection(conn);
            {
                ScopedLock held(g_player_list.lock);
                g_player_list.list.AddTail(&conn);
                joined = true;
            }
            const int32_t count = g_live_channel_count();
            const int requested = ChannelRequested(conn.path);
            if (requested > 0 || std::strstr(conn.path, ".ch") != nullptr) {
                channel = requested;
                LogSystemMessage("CH no [%d], total chaneel no=[%d]\n", channel, count);
            } else {
                channel = 1;
                LogSystemMessage("Default CH no [%d], total chaneel no=[%d]\n", channel, count);
            }
            // Serving a channel needs its ring buffer; a number outside the table ends here.
        }

        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] Stop Streaming)\n", number, channel);
        conn.stop.store(1);
        CloseConnectionSocket(g_http_service, conn, error_close);
        if (error_close) {
            LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] Close Socket with error condition)\n", number, channel);
        } else {
            LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] Close Socket)\n", number, channel);
        }
        if (joined) {
            {
                ScopedLock held(g_player_list.lock);
                g_player_list.list.Remove(&conn);
            }
            LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] remove it from the player list)\n", number, channel);
            HandDataThreadToMonitor(g_http_service, conn, false);
            LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] add it to the 2nd player list)\n", number, channel);
        } else {
            HandDataThreadToMonitor(g_http_service, conn, false);
            LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] add to suspend player list)\n", number, channel);
        }
        AddTotalConnection(-1);
        LogSystemMessage("IPTV_TS_HTTP_DataThread [%d] (CH no.[%d] minus 1 for the Connection Couter)\n", number, channel);
        LogSystemMessage("*** IPTV_TS_HTTP_DataThread [%d] (OUT)\n", number);
        conn.data_state.store(kConnThreadDone);
    }
    EndThread();
}
