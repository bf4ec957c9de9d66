#include "core/service_stats.h"

#include <cstdlib>
#include <cstring>

ServiceStats g_http_stats{"HTTP"};
ServiceStats g_rtsp_stats{"RTSP"};
ServiceStats g_vod_stats{"VOD"};

ServiceStats* FindServiceStats(const char* name)
{
    if (name == nullptr) return nullptr;
    for (ServiceStats* stats : {&g_http_stats, &g_rtsp_stats, &g_vod_stats})
        if (std::strcmp(stats->name, name) == 0) return stats;
    return nullptr;
}

void CountAnswer(ServiceStats& stats, const char* answer)
{
    const char* space = std::strchr(answer, ' ');
    if (space == nullptr) return;
    const int code = std::atoi(space + 1);
    if (code == 404) Bump(stats.not_found);
    else if (code == 1001) Bump(stats.refused_user);
    else if (code == 1002) Bump(stats.refused_expired);
    else if (code >= 200 && code < 300) Bump(stats.accepted);
}
