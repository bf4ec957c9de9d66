#include "server/metrics.h"

#include "channels/channel_table.h"
#include "channels/guide.h"
#include "core/config.h"
#include "core/platform/platform.h"
#include "core/service_stats.h"
#include "core/sockets.h"
#include "core/text.h"
#include "http/http_hls.h"
#include "http/http_request.h"
#include "http/http_service.h"
#include "ingest/channel_facts.h"
#include "ingest/input_health.h"
#include "net/connection.h"
#include "players/player_server.h"
#include "rest/rest_common.h"
#include "rest/token_service.h"
#include "rtsp/rtsp_service.h"
#include "server/status_figures.h"
#include "server/status_history.h"
#include "users/credentials.h"
#include "users/user_db.h"
#include "vod/vod_service.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <set>
#include <unistd.h>
#include <vector>

namespace {


const ConnectionService* ServiceOf(const ServiceStats& stats)
{
    if (&stats == &g_http_stats) return &g_http_service;
    if (&stats == &g_rtsp_stats) return &g_rtsp_service;
    return &g_vod_service;
}

// One metric family of the exposition format: its HELP and TYPE lines, then its samples.
class Family {
public:
    Family(std::string& out, const char* name, const char* type, const char* help) : out_(out), name_(name)
    {
        out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    void Sample(const std::string& labels, double value)
    {
        char number[64];
        FormatText(number, "%.17g", value);
        out_.append(name_);
        if (!labels.empty()) out_.append("{").append(labels).append("}");
        out_.append(" ").append(number).append("\n");
    }
    void Sample(const std::string& labels, uint64_t value)
    {
        char number[32];
        FormatText(number, "%" PRIu64, value);
        out_.append(name_);
        if (!labels.empty()) out_.append("{").append(labels).append("}");
        out_.append(" ").append(number).append("\n");
    }

private:
    std::string& out_;
    const char*  name_;
};

std::string ChannelLabels(const ChannelFigures& channel)
{
    return "channel=\"" + std::to_string(channel.number) + "\",name=\"" + PrometheusLabel(channel.name) + "\"";
}

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// The path of "GET <path>[?query] HTTP/..." is one of ours: which (0 none, 1 metrics, 2 status,
// 3 guide, 4 channel facts).
int PageOf(const char* request, std::string_view& query)
{
    int page = 0;
    const char* rest = nullptr;
    if (StartsWith(request, "GET /metrics")) {
        page = 1;
        rest = request + std::strlen("GET /metrics");
    } else if (StartsWith(request, "GET /status.json")) {
        page = 2;
        rest = request + std::strlen("GET /status.json");
    } else if (StartsWith(request, "GET /guide.json")) {
        page = 3;
        rest = request + std::strlen("GET /guide.json");
    } else if (StartsWith(request, "GET /channel.json")) {
        page = 4;
        rest = request + std::strlen("GET /channel.json");
    } else {
        return 0;
    }
    if (*rest != ' ' && *rest != '?') return 0;
    query = {};
    if (*rest == '?') {
        const char* end = rest + 1;
        while (*end != '\0' && *end != ' ' && *end != '\r' && *end != '\n') ++end;
        query = std::string_view(rest + 1, static_cast<std::size_t>(end - rest - 1));
    }
    return page;
}

}  // namespace

std::string PrometheusLabel(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string JsonString(std::string_view value)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < value.size();) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            FormatText(escaped, "\\u%04x", c);
            out += escaped;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // A whole, shortest-form UTF-8 sequence is kept; any other byte becomes U+FFFD.
            const int length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
            bool whole = length > 0 && i + static_cast<std::size_t>(length) <= value.size();
            for (int k = 1; whole && k < length; ++k) whole = (static_cast<unsigned char>(value[i + k]) & 0xC0) == 0x80;
            if (whole && length >= 3) {
                const auto second = static_cast<unsigned char>(value[i + 1]);
                if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) || (c == 0xF0 && second < 0x90) ||
                    (c == 0xF4 && second >= 0x90))
                    whole = false;
            }
            if (whole) {
                out.append(value.substr(i, static_cast<std::size_t>(length)));
                i += static_cast<std::size_t>(length);
            } else {
                out += "\xEF\xBF\xBD";
                ++i;
            }
        }
    }
    out += '"';
    return out;
}

MetricsAccess CheckMetricsAccess(const char* request)
{
    std::string_view query;
    PageOf(request, query);
    RestText text;
    text.query = query;
    text.query_ended = true;
    std::string token;
    if (RestParameter(text, "token", token) && !token.empty()) {
        if (IsRootToken(token.c_str()) == 1) return MetricsAccess::kRoot;
        char user[kTokenUserSize];
        return FindToken(token.c_str(), user) ? MetricsAccess::kOther : MetricsAccess::kNone;
    }
    const char* basic = std::strstr(request, "\r\nAuthorization: Basic ");
    if (basic == nullptr) return MetricsAccess::kNone;
    char mac_id[kMacIdSize];
    char user[kCredentialSize];
    char password[kCredentialSize];
    ParseBasicCredentials(basic + std::strlen("\r\nAuthorization: Basic "), mac_id, user, password);
    if (CheckUser(user, password) != 1) return MetricsAccess::kNone;
    return std::strcmp(user, "root") == 0 ? MetricsAccess::kRoot : MetricsAccess::kOther;
}

// The families of every channel's input health and viewers.
static void AppendChannelFamilies(std::string& out, const std::vector<ChannelFigures>& channels)
{
    struct ChannelCounter {
        const char* name;
        const char* type;
        const char* help;
        uint64_t ChannelFigures::*field;
    };
    const ChannelCounter counters[] = {
        {"quorvane_input_bitrate_bits", "gauge", "Input bitrate over the last 10 s in bits per second.", &ChannelFigures::bitrate},
        {"quorvane_input_datagrams_total", "counter", "Datagrams (or slots of pull sources) received.", &ChannelFigures::datagrams},
        {"quorvane_input_bytes_total", "counter", "Bytes received.", &ChannelFigures::bytes},
        {"quorvane_input_cc_errors_total", "counter", "Continuity-counter errors over all PIDs.", &ChannelFigures::cc_errors},
        {"quorvane_input_rtp_gaps_total", "counter", "RTP sequence numbers missing.", &ChannelFigures::rtp_gaps},
        {"quorvane_input_pcr_jumps_total", "counter", "PCR jumps of more than a second, or backwards.", &ChannelFigures::pcr_jumps},
        {"quorvane_recorder_bytes_total", "counter", "Bytes written by the channel's recorders.", &ChannelFigures::recorder_bytes},
        {"quorvane_recorder_errors_total", "counter", "Failed writes of the channel's recorders.", &ChannelFigures::recorder_errors},
    };
    for (const ChannelCounter& counter : counters) {
        Family family(out, counter.name, counter.type, counter.help);
        for (const ChannelFigures& channel : channels)
            if (channel.has_health) family.Sample(ChannelLabels(channel), channel.*counter.field);
    }
    {
        Family family(out, "quorvane_source_active", "gauge", "The source feeding a channel with backups (1 the first; 0 none).");
        for (const ChannelFigures& channel : channels)
            if (channel.sources > 1) family.Sample(ChannelLabels(channel), static_cast<uint64_t>(channel.active_source));
    }
    {
        Family family(out, "quorvane_source_switches_total", "counter", "Changes of source of a channel with backups.");
        for (const ChannelFigures& channel : channels)
            if (channel.sources > 1) family.Sample(ChannelLabels(channel), channel.source_switches);
    }
    {
        Family family(out, "quorvane_input_signal", "gauge", "1 while datagrams came within the last 5 s.");
        for (const ChannelFigures& channel : channels)
            if (channel.has_health) family.Sample(ChannelLabels(channel), uint64_t{channel.signal ? 1u : 0u});
    }
    {
        Family family(out, "quorvane_input_pcr_present", "gauge", "1 while PCRs came within the last 5 s.");
        for (const ChannelFigures& channel : channels)
            if (channel.has_health) family.Sample(ChannelLabels(channel), uint64_t{channel.pcr ? 1u : 0u});
    }
    {
        Family family(out, "quorvane_input_silence_seconds", "gauge", "Seconds since the last datagram.");
        for (const ChannelFigures& channel : channels)
            if (channel.has_health && channel.silence_seconds >= 0) family.Sample(ChannelLabels(channel), channel.silence_seconds);
    }
    {
        Family family(out, "quorvane_viewers", "gauge", "Active viewers of the channel by protocol.");
        for (const ChannelFigures& channel : channels) {
            const std::string labels = ChannelLabels(channel);
            family.Sample(labels + ",protocol=\"http\"", static_cast<uint64_t>(channel.http));
            family.Sample(labels + ",protocol=\"rtsp\"", static_cast<uint64_t>(channel.rtsp));
            family.Sample(labels + ",protocol=\"hls\"", static_cast<uint64_t>(channel.hls));
            family.Sample(labels + ",protocol=\"multicast\"", static_cast<uint64_t>(channel.multicast));
        }
    }
}

// The hitless merge's counters of each channel that merged two RTP paths.
static void AppendMergeFamilies(std::string& out, const std::vector<ChannelFigures>& channels)
{
    {
        Family family(out, "quorvane_input_rtp_merge_packets_total", "counter",
                      "RTP packets of each merged path: received, used (the copy that went out) and lost (missing on the path).");
        for (const ChannelFigures& channel : channels) {
            const InputHealth* health = FindHealth(channel.number - 1);
            if (health == nullptr || health->merging.load() == 0) continue;
            for (int path = 0; path < 2; ++path) {
                const std::string labels = ChannelLabels(channel) + ",path=\"" + std::to_string(path + 1) + "\",kind=\"";
                family.Sample(labels + "received\"", health->merge_received[path].load(std::memory_order_relaxed));
                family.Sample(labels + "used\"", health->merge_used[path].load(std::memory_order_relaxed));
                family.Sample(labels + "lost\"", health->merge_lost[path].load(std::memory_order_relaxed));
            }
        }
    }
    Family family(out, "quorvane_input_rtp_merge_given_up_total", "counter",
                  "RTP sequence numbers of a merged channel that neither path delivered within 200 ms.");
    for (const ChannelFigures& channel : channels) {
        const InputHealth* health = FindHealth(channel.number - 1);
        if (health != nullptr && health->merging.load() != 0)
            family.Sample(ChannelLabels(channel), health->merge_given_up.load(std::memory_order_relaxed));
    }
}

// ,"merge":{...} of a channel that merged two RTP paths.
static void AppendMergeFigures(std::string& out, int channel_number)
{
    const InputHealth* health = FindHealth(channel_number - 1);
    if (health == nullptr || health->merging.load() == 0) return;
    char text[384];
    FormatText(text,
               ",\"merge\":{\"received\":[%" PRIu64 ",%" PRIu64 "],\"used\":[%" PRIu64 ",%" PRIu64 "],\"lost\":[%" PRIu64
               ",%" PRIu64 "],\"given_up\":%" PRIu64 "}",
               health->merge_received[0].load(), health->merge_received[1].load(), health->merge_used[0].load(),
               health->merge_used[1].load(), health->merge_lost[0].load(), health->merge_lost[1].load(),
               health->merge_given_up.load());
    out += text;
}

// The families of the HTTP, RTSP and VOD services.
static void AppendServiceFamilies(std::string& out)
{
    ServiceStats* const services[] = {&g_http_stats, &g_rtsp_stats, &g_vod_stats};
    {
        Family family(out, "quorvane_service_connections_total", "counter", "Connections accepted by the service.");
        for (const ServiceStats* stats : services)
            family.Sample(std::string("service=\"") + stats->name + "\"", stats->connections.load(std::memory_order_relaxed));
    }
    {
        Family family(out, "quorvane_service_open_connections", "gauge", "Connections of the service not yet ended.");
        for (const ServiceStats* stats : services)
            family.Sample(std::string("service=\"") + stats->name + "\"",
                          static_cast<uint64_t>(std::max<int32_t>(0, ServiceOf(*stats)->live.load())));
    }
    {
        Family family(out, "quorvane_service_requests_total", "counter", "Requests by how the service answered them.");
        for (const ServiceStats* stats : services) {
            const std::string service = std::string("service=\"") + stats->name + "\",result=\"";
            family.Sample(service + "accepted\"", stats->accepted.load(std::memory_order_relaxed));
            family.Sample(service + "user_error\"", stats->refused_user.load(std::memory_order_relaxed));
            family.Sample(service + "time_expired\"", stats->refused_expired.load(std::memory_order_relaxed));
            family.Sample(service + "not_found\"", stats->not_found.load(std::memory_order_relaxed));
        }
    }
    {
        Family family(out, "quorvane_service_sent_bytes_total", "counter", "Media bytes the service sent to its viewers.");
        for (const ServiceStats* stats : services)
            family.Sample(std::string("service=\"") + stats->name + "\"", stats->bytes_sent.load(std::memory_order_relaxed));
    }
}

// The families of the process: CPU time, memory, threads, descriptors.
static void AppendProcessFamilies(std::string& out)
{
    const ProcessFigures process = ReadProcessFigures();
    Family(out, "process_cpu_seconds_total", "counter", "User and system CPU time in seconds.").Sample("", process.cpu_seconds);
    Family(out, "process_resident_memory_bytes", "gauge", "Resident memory in bytes.").Sample("", process.resident_bytes);
    Family(out, "process_threads", "gauge", "Threads of the process.").Sample("", static_cast<uint64_t>(process.threads));
    Family(out, "process_open_fds", "gauge", "Open file descriptors.").Sample("", static_cast<uint64_t>(process.open_fds));
}

std::string MetricsText(uint64_t now_ms)
{
    const std::vector<ViewerRow> viewers = CollectViewers(now_ms);
    const std::vector<ChannelFigures> channels = CollectChannels(now_ms, viewers);
    std::string out;
    out.reserve(4096 + channels.size() * 2048);
    AppendChannelFamilies(out, channels);
    AppendMergeFamilies(out, channels);
    AppendServiceFamilies(out);
    AppendProcessFamilies(out);
    return out;
}

// ,"now":{...},"next":{...} of the channel's guide, each when known.
static void AppendNowAndNext(std::string& out, int channel, int64_t now)
{
    GuideProgramme programmes[2];
    const int found = g_guide.NowAndNext(channel, now, programmes[0], programmes[1]);
    const char* names[] = {"now", "next"};
    for (int i = 0; i < 2; ++i) {
        if ((found & (1 << i)) == 0) continue;
        const GuideProgramme& programme = programmes[i];
        out.append(",\"").append(names[i]).append("\":{\"start\":").append(std::to_string(programme.start));
        out.append(",\"stop\":").append(std::to_string(programme.stop)).append(",\"title\":").append(JsonString(programme.title));
        out += '}';
    }
}

std::string StatusJson(uint64_t now_ms)
{
    const std::vector<ViewerRow> viewers = CollectViewers(now_ms);
    const std::vector<ChannelFigures> channels = CollectChannels(now_ms, viewers);
    const ProcessFigures process = ReadProcessFigures();
    std::string out;
    out.reserve(2048 + channels.size() * 512 + viewers.size() * 256);
    char text[512];
    FormatText(text,
               "{\"time\":%lld,\"history_step\":%d,\"process\":{\"cpu_seconds\":%.3f,\"resident_bytes\":%" PRIu64
               ",\"threads\":%" PRId64 ",\"open_fds\":%" PRId64,
               static_cast<long long>(std::time(nullptr)), static_cast<int>(kHistoryStepMs / 1000), process.cpu_seconds,
               process.resident_bytes, process.threads, process.open_fds);
    out += text;
    g_status_history.AppendProcess(out, now_ms, process, ServicesBytesSent());
    int viewers_total = 0;
    for (const ChannelFigures& channel : channels) viewers_total += channel.http + channel.rtsp + channel.hls;
    out.append(",\"viewers\":").append(std::to_string(viewers_total)).append("},\"services\":[");
    bool first = true;
    for (const ServiceStats* stats : {&g_http_stats, &g_rtsp_stats, &g_vod_stats}) {
        FormatText(text,
                   "%s{\"name\":\"%s\",\"connections\":%" PRIu64 ",\"open\":%d,\"accepted\":%" PRIu64 ",\"user_error\":%" PRIu64
                   ",\"time_expired\":%" PRIu64 ",\"not_found\":%" PRIu64 ",\"bytes_sent\":%" PRIu64 "}",
                   first ? "" : ",", stats->name, stats->connections.load(), std::max<int32_t>(0, ServiceOf(*stats)->live.load()),
                   stats->accepted.load(), stats->refused_user.load(), stats->refused_expired.load(), stats->not_found.load(),
                   stats->bytes_sent.load());
        out += text;
        first = false;
    }
    out += "],\"channels\":[";
    first = true;
    for (const ChannelFigures& channel : channels) {
        FormatText(text, "%s{\"channel\":%d,\"name\":", first ? "" : ",", channel.number);
        out.append(text).append(JsonString(channel.name));
        FormatText(text,
                   ",\"input\":%s,\"signal\":%d,\"bitrate\":%" PRIu64 ",\"datagrams\":%" PRIu64 ",\"bytes\":%" PRIu64
                   ",\"cc_errors\":%" PRIu64 ",\"rtp_gaps\":%" PRIu64 ",\"pcr\":%d,\"pcr_jumps\":%" PRIu64
                   ",\"silence_seconds\":%.1f,\"recorder_bytes\":%" PRIu64 ",\"recorder_errors\":%" PRIu64
                   ",\"viewers\":{\"http\":%d,\"rtsp\":%d,\"hls\":%d,\"multicast\":%d}}",
                   channel.has_health ? "true" : "false", channel.signal ? 1 : 0, channel.bitrate, channel.datagrams,
                   channel.bytes, channel.cc_errors, channel.rtp_gaps, channel.pcr ? 1 : 0, channel.pcr_jumps,
                   channel.silence_seconds, channel.recorder_bytes, channel.recorder_errors, channel.http, channel.rtsp,
                   channel.hls, channel.multicast);
        out.append(text, std::strlen(text) - 1);          // the guide's now and next go inside
        out.append(",\"kind\":").append(JsonString(channel.kind));
        if (channel.sources > 1) {
            FormatText(text, ",\"sources\":%d,\"active_source\":%d,\"source_switches\":%" PRIu64, channel.sources,
                       channel.active_source, channel.source_switches);
            out += text;
        }
        AppendMergeFigures(out, channel.number);
        if (channel.folder) {
            out.append(",\"playing\":").append(channel.playing ? "1" : "0");
            out.append(",\"file\":").append(JsonString(channel.file));
            out.append(",\"file_bitrate\":").append(std::to_string(channel.file_bitrate));
        }
        g_status_history.AppendChannel(out, channel);
        AppendNowAndNext(out, channel.number, std::time(nullptr));
        out += '}';
        first = false;
    }
    out += "],\"viewers\":[";
    first = true;
    for (const ViewerRow& viewer : viewers) {
        out.append(first ? "{\"client\":" : ",{\"client\":").append(JsonString(viewer.client));
        out.append(",\"user\":").append(JsonString(viewer.user));
        if (viewer.channel > 0) out.append(",\"channel\":").append(std::to_string(viewer.channel));
        else out.append(",\"film\":").append(JsonString(viewer.film));
        out.append(",\"protocol\":\"").append(viewer.protocol).append("\",\"seconds\":").append(std::to_string(viewer.seconds));
        out.append(",\"bytes_sent\":").append(std::to_string(viewer.bytes_sent));
        out += '}';
        first = false;
    }
    out += "]}\n";
    return out;
}

// The "channel=N" of a page's query; 0 without one.
static int ChannelOfQuery(std::string_view query)
{
    RestText text;
    text.query = query;
    text.query_ended = true;
    std::string value;
    return RestParameter(text, "channel", value) ? std::atoi(value.c_str()) : 0;
}

std::string GuideJson(std::string_view query, int64_t now)
{
    const int channel = ChannelOfQuery(query);
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    if (table == nullptr || channel < 1 || channel > table->Count()) return "{\"channel\":0,\"programmes\":[]}\n";
    const ChannelRecord& record = *table->channels[static_cast<std::size_t>(channel - 1)];
    const bool archive = g_config.tv_on_demand_record_duration > 0 && record.rec_folder[0] != '\0';
    std::string out = "{\"channel\":" + std::to_string(channel) + ",\"name\":" + JsonString(record.name) +
                      ",\"archive\":" + (archive ? "true" : "false") + ",\"programmes\":[";
    bool first = true;
    for (const GuideProgramme& programme : g_guide.Programmes(channel, now - kGuideWeekSeconds, now + 86400)) {
        out.append(first ? "{\"start\":" : ",{\"start\":").append(std::to_string(programme.start));
        out.append(",\"stop\":").append(std::to_string(programme.stop)).append(",\"title\":").append(JsonString(programme.title));
        out.append(",\"description\":").append(JsonString(programme.description)).append("}");
        first = false;
    }
    return out + "]}\n";
}

std::string ChannelJson(std::string_view query, bool& found)
{
    const int channel = ChannelOfQuery(query);
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    found = channel >= 1 && channel <= table->Count();
    if (!found) return "{\"channel\":0}\n";
    const ChannelRecord& record = *table->channels[static_cast<std::size_t>(channel - 1)];
    const SourceFacts facts = ReadChannelFacts(*table, channel - 1);
    std::string out = "{\"channel\":" + std::to_string(channel) + ",\"name\":" + JsonString(record.name) +
                      ",\"kind\":" + JsonString(ChannelKindName(record)) + ",\"ts\":" + (facts.ts ? "true" : "false") +
                      ",\"bitrate\":" + std::to_string(facts.bitrate) + ",\"programs\":[";
    for (std::size_t p = 0; p < facts.stream.programs().size(); ++p) {
        const StreamFactsProgram& program = facts.stream.programs()[p];
        out.append(p == 0 ? "{" : ",{").append("\"number\":").append(std::to_string(program.number));
        out.append(",\"pmt_pid\":").append(std::to_string(program.pmt_pid)).append(",\"streams\":[");
        for (std::size_t s = 0; s < program.streams.size(); ++s) {
            const StreamFactsStream& stream = program.streams[s];
            out.append(s == 0 ? "{" : ",{").append("\"pid\":").append(std::to_string(stream.pid));
            out.append(",\"type\":").append(std::to_string(stream.type)).append(",\"codec\":").append(JsonString(stream.codec));
            if (!stream.language.empty()) out.append(",\"language\":").append(JsonString(stream.language));
            if (stream.width > 0)
                out.append(",\"width\":").append(std::to_string(stream.width)).append(",\"height\":").append(std::to_string(stream.height));
            out += '}';
        }
        out += "]}";
    }
    return out + "]}\n";
}

bool IsMetricsRequest(const char* request)
{
    std::string_view query;
    return g_config.metrics && PageOf(request, query) != 0;
}

bool ServeMetricsRequest(PlayerConnection& conn, const char* request)
{
    if (!IsMetricsRequest(request)) return false;
    std::string_view query;
    const int page = PageOf(request, query);
    const MetricsAccess access = CheckMetricsAccess(request);
    if (access == MetricsAccess::kNone) {
        SendConnectionText(conn, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"quorvane\"\r\nContent-Length: 0\r\n"
                   "Connection: close\r\n\r\n");
        return true;
    }
    if (access == MetricsAccess::kOther) {
        SendConnectionText(conn, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return true;
    }
    std::string body;
    bool found = true;
    if (page == 1) body = MetricsText(GetTickMs());
    else if (page == 2) body = StatusJson(GetTickMs());
    else if (page == 3) body = GuideJson(query, std::time(nullptr));
    else body = ChannelJson(query, found);
    const char* type = page == 1 ? "text/plain; version=0.0.4; charset=utf-8" : "application/json";
    char head[256];
    FormatText(head, "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n",
               found ? "200 OK" : "404 Not Found", type, body.size());
    SendConnectionText(conn, head + body);
    return true;
}
