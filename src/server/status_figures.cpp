#include "server/status_figures.h"

#include "channels/channel_table.h"
#include "channels/source_table.h"
#include "core/config.h"
#include "core/platform/platform.h"
#include "core/text.h"
#include "http/http_hls.h"
#include "http/http_request.h"
#include "ingest/input_health.h"
#include "ingest/source_switch.h"
#include "media/ts_timing.h"
#include "net/connection.h"
#include "players/player_server.h"
#include "rtsp/rtsp_service.h"
#include "vod/vod_service.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <unistd.h>

namespace {

// Files of /proc report no size: read until the end.
bool ReadProcFile(const char* path, std::string& text)
{
    text.clear();
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    char chunk[1024];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    std::fclose(file);
    return !text.empty();
}

void AddViewer(const PlayerConnection& conn, const char* protocol, uint64_t now_ms, std::vector<ViewerRow>& rows)
{
    ViewerRow row;
    row.client = conn.client_ip;
    row.user = conn.user_name;
    row.protocol = protocol;
    if (const int hls_channel = HlsViewingChannel(conn); hls_channel > 0) {
        row.channel = hls_channel;
    } else if (std::strstr(conn.path, ".ch") != nullptr) {
        row.channel = ChannelNumberOf(conn.path);
    } else {
        const char* path = conn.path;
        const std::size_t base = std::strlen(g_server_base_dir);
        if (base > 0 && std::strncmp(path, g_server_base_dir, base) == 0) path += base;
        row.film = path;
    }
    const uint64_t start = conn.cmd_start_tick.load();
    row.seconds = start != 0 && now_ms > start ? (now_ms - start) / 1000 : 0;
    row.bytes_sent = conn.bytes_sent.load(std::memory_order_relaxed);
    rows.push_back(std::move(row));
}

// A folder channel: the file its playlist plays now (without opening it) and its bitrate.
void FillFolderFigures(const ChannelTable& table, const ChannelRecord& channel, uint64_t now_ms, ChannelFigures& figures)
{
    const RingLayout layout = ChannelTraits(channel).layout;
    if (layout != RingLayout::kTsFolder && layout != RingLayout::kMp4Folder) return;
    figures.folder = true;
    std::vector<PlaylistEntry> files;
    files.reserve(channel.sources.size());
    for (const auto& source : channel.sources) files.push_back(source->file);
    int64_t seconds_left = 0;
    const int index = playlist_index_at(table.load_tick, static_cast<int64_t>(channel.total_duration), files.data(),
                                        static_cast<int>(files.size()), now_ms, seconds_left);
    if (index < 0) return;
    const PlaylistEntry& entry = files[static_cast<std::size_t>(index)];
    figures.playing = true;
    const char* slash = std::strrchr(entry.path, '/');
    figures.file = slash != nullptr ? slash + 1 : entry.path;
    figures.file_bitrate = entry.bitrate_kbps > 0 ? static_cast<uint64_t>(entry.bitrate_kbps) * 1024 : 0;
}

}  // namespace

ProcessFigures ReadProcessFigures()
{
    ProcessFigures figures;
    std::string stat;
    if (ReadProcFile("/proc/self/stat", stat)) {
        // The fields after the command name, which may hold blanks and parentheses itself.
        const std::size_t close = stat.rfind(')');
        if (close != std::string::npos) {
            std::vector<std::string> fields;
            std::size_t at = close + 2;
            while (at < stat.size()) {
                std::size_t end = stat.find(' ', at);
                if (end == std::string::npos) end = stat.size();
                fields.push_back(stat.substr(at, end - at));
                at = end + 1;
            }
            // fields[0] is field 3 (state): utime 14, stime 15, num_threads 20.
            if (fields.size() > 17) {
                const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
                figures.cpu_seconds = (std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr)) / ticks;
                figures.threads = std::strtoll(fields[17].c_str(), nullptr, 10);
            }
        }
    }
    std::string statm;
    if (ReadProcFile("/proc/self/statm", statm)) {
        unsigned long long size = 0, resident = 0;
        if (std::sscanf(statm.c_str(), "%llu %llu", &size, &resident) == 2)
            figures.resident_bytes = resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    }
    if (DIR* folder = opendir("/proc/self/fd")) {
        int64_t count = 0;
        while (const dirent* entry = readdir(folder))
            if (entry->d_name[0] != '.') ++count;
        closedir(folder);
        figures.open_fds = count - 1;              // the listing's own descriptor
    }
    return figures;
}

std::vector<ViewerRow> CollectViewers(uint64_t now_ms)
{
    std::vector<ViewerRow> rows;
    std::set<const PlayerConnection*> seen;
    {
        ScopedLock held(g_player_list.lock);
        for (Position at = g_player_list.list.GetHeadPosition(); at != nullptr;) {
            const auto* conn = static_cast<const PlayerConnection*>(g_player_list.list.GetNext(at));
            if (conn == nullptr || dynamic_cast<const PlayerBox*>(conn) != nullptr) continue;
            if (!seen.insert(conn).second) continue;
            const char* protocol = dynamic_cast<const RtspConnection*>(conn) != nullptr ? "rtsp"
                                   : dynamic_cast<const VodConnection*>(conn) != nullptr ? "vod"
                                   : HlsViewingChannel(*conn) > 0                        ? "hls"
                                                                                        : "http";
            AddViewer(*conn, protocol, now_ms, rows);
        }
    }
    {
        ScopedLock held(g_rtsp_active.lock);
        for (Position at = g_rtsp_active.list.GetHeadPosition(); at != nullptr;) {
            const auto* conn = static_cast<const PlayerConnection*>(g_rtsp_active.list.GetNext(at));
            if (conn == nullptr || !seen.insert(conn).second) continue;
            AddViewer(*conn, "rtsp", now_ms, rows);
        }
    }
    return rows;
}

bool MulticastOn() { return g_config.igmpip[0] != '\0' && std::strcmp(g_config.igmpip, "0.0.0.0") != 0; }


std::vector<ChannelFigures> CollectChannels(uint64_t now_ms, const std::vector<ViewerRow>& viewers)
{
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    std::vector<ChannelFigures> channels;
    channels.reserve(static_cast<std::size_t>(table->Count()));
    for (int32_t i = 0; i < table->Count(); ++i) {
        const ChannelRecord& record = *table->channels[static_cast<std::size_t>(i)];
        ChannelFigures figures;
        figures.number = i + 1;
        figures.name = record.name;
        figures.kind = ChannelTraits(record).name;
        FillFolderFigures(*table, record, now_ms, figures);
        if (SwitchesSources(record)) {
            figures.sources = 1 + static_cast<int>(record.backups.size());
            figures.active_source = record.active_source.load();
            figures.source_switches = record.source_switches.load();
        }
        if (const InputHealth* health = FindHealth(i); health != nullptr && health->running.load() != 0) {
            figures.has_health = true;
            figures.bitrate = InputBitrate(*health, now_ms);
            figures.datagrams = health->datagrams.load(std::memory_order_relaxed);
            figures.bytes = health->bytes.load(std::memory_order_relaxed);
            figures.cc_errors = health->cc_errors.load(std::memory_order_relaxed);
            figures.rtp_gaps = health->rtp_gaps.load(std::memory_order_relaxed);
            figures.pcr_jumps = health->pcr_jumps.load(std::memory_order_relaxed);
            figures.recorder_bytes = health->recorder_bytes.load(std::memory_order_relaxed);
            figures.recorder_errors = health->recorder_errors.load(std::memory_order_relaxed);
            figures.signal = SignalUp(*health, now_ms);
            const uint64_t last_pcr = health->last_pcr_ms.load(std::memory_order_relaxed);
            figures.pcr = last_pcr != 0 && now_ms - last_pcr < kNoSignalMs;
            const uint64_t last = health->last_datagram_ms.load(std::memory_order_relaxed);
            if (last != 0) figures.silence_seconds = static_cast<double>(now_ms - last) / 1000.0;
        }
        figures.multicast = MulticastOn() && figures.signal ? 1 : 0;
        channels.push_back(std::move(figures));
    }
    for (const ViewerRow& viewer : viewers) {
        if (viewer.channel < 1 || viewer.channel > static_cast<int>(channels.size())) continue;
        ChannelFigures& figures = channels[static_cast<std::size_t>(viewer.channel - 1)];
        if (std::strcmp(viewer.protocol, "rtsp") == 0) ++figures.rtsp;
        else if (std::strcmp(viewer.protocol, "http") == 0) ++figures.http;
        else if (std::strcmp(viewer.protocol, "hls") == 0) ++figures.hls;
    }
    return channels;
}
