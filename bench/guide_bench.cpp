// The programme guide at an operator's size: 200 channels with a week of programmes each (about
// 50 000), held in the guide, then written as the "/epg.xml" answer. Reports the memory the
// guide holds, the answer's time and size.

#include "channels/channel_table.h"
#include "channels/guide.h"
#include "core/text.h"
#include "http/http_playlist.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

static long ResidentKib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

int main()
{
    constexpr int kChannels = 200;
    constexpr int kMinutes = 40;                       // 36 programmes a day
    const int64_t now = std::time(nullptr);
    ChannelTable table;
    for (int i = 0; i < kChannels; ++i) {
        auto channel = std::make_unique<ChannelRecord>();
        FormatText(channel->name, "Channel %d", i + 1);
        FormatText(channel->img, "logo/%d.png", i + 1);
        table.channels.push_back(std::move(channel));
    }
    const long before = ResidentKib();
    std::size_t programmes = 0;
    for (int i = 0; i < kChannels; ++i) {
        for (int64_t start = now - 7 * 86400; start < now; start += kMinutes * 60) {
            GuideProgramme programme{start, start + kMinutes * 60, "Programme at " + std::to_string(start) + " on " + std::to_string(i),
                                     std::string(150, 'd')};
            programmes += g_guide.AddAnnounced(i + 1, std::move(programme), now) ? 1 : 0;
        }
    }
    const long held = ResidentKib() - before;
    std::vector<double> times;
    std::size_t size = 0;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        size = GuideText(table, "tv.example:8000", now).size();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%d channels, %zu programmes held in %.1f MiB (%.0f bytes each); /epg.xml of %.1f MB written in %.1f ms "
                "(median of 5, fastest %.1f ms)\n",
                kChannels, programmes, held / 1024.0, held * 1024.0 / static_cast<double>(programmes), size / 1e6, times[2], times[0]);
    return 0;
}
