#include "core/config.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/text.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

Configuration g_config;
char          g_server_base_dir[1024];
char          g_dns_server_ip[16];
uint16_t      g_dns_server_port = 53;

// The first IPv4 "nameserver" of the resolver configuration, else a public resolver.
static void SetDefaultDnsServer()
{
    CopyText(g_dns_server_ip, "8.8.8.8");
    FILE* file = std::fopen("/etc/resolv.conf", "rb");
    if (file == nullptr) return;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        char address[64];
        in_addr parsed{};
        if (std::sscanf(line, " nameserver %63s", address) == 1 && inet_pton(AF_INET, address, &parsed) == 1) {
            CopyText(g_dns_server_ip, address);
            break;
        }
    }
    std::fclose(file);
}

void ResetConfiguration()
{
    g_config = Configuration{};
    CopyText(g_config.iptv_base_port_text, "554");
    g_config.iptv_base_port = 554;
    CopyText(g_config.vod_base_port_text, "2000");
    g_config.vod_base_port = 2000;
    CopyText(g_config.httpport, "8000");
    CopyText(g_config.rtmpport, "1935");
    CopyText(g_config.network_interface, "eth0");
    CopyText(g_config.bitrate_constant_text, "1.0");
    g_config.bitrate_constant   = 1.0f;
    g_config.user_authorization = false;
    g_config.user_separator     = '&';
    g_config.password_separator = ':';
    g_config.cgi_upload_limit_mb = 4096;
    g_config.cgi_post_limit_kb   = 64;
    g_config.cgi_min_free_mb     = 1024;
    g_config.cgi_time_limit      = 40;
    g_config.cgi_output_limit_kb = 32768;
    g_config.http_request_time_limit = 60;
    g_config.epg_poll_seconds = 60;
    g_config.pull_idle_seconds = 30;
    g_config.udp_receive_buffer_kb = 4096;
    g_config.metrics             = true;
    g_config.rtsp_session_timeout = 120;
    g_config.vod_pause_timeout   = 600;
    SetDefaultDnsServer();
}

namespace {
struct ConfigDefaults {
    ConfigDefaults() { ResetConfiguration(); }
} g_config_defaults;
}

int ReadWholeFile(const char* path, std::string& text)
{
    text.clear();
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return 0;
    struct stat info{};
    if (fstat(fileno(file), &info) != 0 || info.st_size <= 0) {
        std::fclose(file);
        return -1;
    }
    text.resize(static_cast<std::size_t>(info.st_size));
    const std::size_t got = std::fread(text.data(), 1, text.size(), file);
    std::fclose(file);
    text.resize(got);
    return got > 0 ? 1 : -1;
}

void NormaliseLineEnd(std::string& text)
{
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) return;
    if (!text.empty() && text.back() == '\n') {
        text.back() = '\r';
        text.push_back('\n');
        return;
    }
    text.append("\r\n");
}

int ReadConfigurationText(const char* path, std::string& text)
{
    const int read = ReadWholeFile(path, text);
    if (read > 0) NormaliseLineEnd(text);
    return read;
}

bool FindKeyValue(std::string_view text, std::string_view key, std::string_view& value)
{
    std::string pattern(key);
    pattern.push_back('=');
    const std::size_t match = text.find(pattern);
    if (match == std::string_view::npos) return false;
    const std::size_t start = match + pattern.size();
    const std::size_t end   = text.find('\n', start);
    if (end == std::string_view::npos) return false;
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    value = text.substr(start, stop - start);
    return true;
}

template <std::size_t N>
static bool ReadText(std::string_view text, std::string_view key, char (&field)[N])
{
    std::string_view value;
    if (!FindKeyValue(text, key, value)) return false;
    CopyText(field, value);
    return true;
}

template <std::size_t N>
static void ReadInteger(std::string_view text, std::string_view key, char (&field)[N], int32_t& number)
{
    if (ReadText(text, key, field)) number = static_cast<int32_t>(std::atoi(field));
}

// The keys of this server's own limits and services, each kept only inside its range.
static void ReadLimits(std::string_view text, Configuration& c)
{
    char limit[24];
    // Sizes in KiB and MiB stay far below the 64-bit byte counts they are turned into.
    constexpr long long kSizeMax = 1LL << 40;
    if (ReadText(text, "cgi_upload_limit_mb", limit) && std::atoll(limit) > 0 && std::atoll(limit) < kSizeMax)
        c.cgi_upload_limit_mb = std::atoll(limit);
    if (ReadText(text, "cgi_time_limit", limit) && std::atoi(limit) > 0) c.cgi_time_limit = std::atoi(limit);
    if (ReadText(text, "cgi_post_limit_kb", limit) && std::atoll(limit) >= 0 && std::atoll(limit) < kSizeMax)
        c.cgi_post_limit_kb = std::atoll(limit);
    if (ReadText(text, "cgi_min_free_mb", limit) && std::atoll(limit) >= 0 && std::atoll(limit) < kSizeMax)
        c.cgi_min_free_mb = std::atoll(limit);
    // The output is held in memory until the program ends: at most 4 GiB.
    if (ReadText(text, "cgi_output_limit_kb", limit) && std::atoll(limit) > 0 && std::atoll(limit) <= 4LL * 1024 * 1024)
        c.cgi_output_limit_kb = std::atoll(limit);
    if (ReadText(text, "http_request_time_limit", limit) && std::atoi(limit) > 0 && std::atoi(limit) <= 86400)
        c.http_request_time_limit = std::atoi(limit);
    if (ReadText(text, "udp_receive_buffer_kb", limit) && std::atoi(limit) > 0 && std::atoi(limit) <= 1024 * 1024)
        c.udp_receive_buffer_kb = std::atoi(limit);
    if (ReadText(text, "metrics", limit)) c.metrics = std::atoi(limit) != 0;
    if (ReadText(text, "rtsp_session_timeout", limit) && std::atoi(limit) > 0) c.rtsp_session_timeout = std::atoi(limit);
    if (ReadText(text, "vod_pause_timeout", limit) && std::atoi(limit) > 0) c.vod_pause_timeout = std::atoi(limit);
    if (ReadText(text, "epg_poll_seconds", limit) && std::atoi(limit) > 0 && std::atoi(limit) <= 86400)
        c.epg_poll_seconds = std::atoi(limit);
    if (ReadText(text, "pull_idle_seconds", limit) && std::atoi(limit) > 0 && std::atoi(limit) <= 86400)
        c.pull_idle_seconds = std::atoi(limit);
}

int LoadConfiguration()
{
    // Recorded before the file is opened: without a file the services still need it.
    CopyText(g_server_base_dir, CurrentDirectory());
    std::string text;
    const int read = ReadConfigurationText("quorvane_config.txt", text);
    if (read == 0) {
        std::printf("Failed");
        std::fflush(stdout);
        return 0;
    }
    if (read < 0) return 0;

    Configuration& c = g_config;
    ReadText(text, "startmenu", c.startmenu);
    ReadInteger(text, "iptv_base_port", c.iptv_base_port_text, c.iptv_base_port);
    ReadInteger(text, "vod_base_port", c.vod_base_port_text, c.vod_base_port);
    ReadInteger(text, "time_zone_diff", c.time_zone_diff_text, c.time_zone_diff);
    ReadText(text, "httpport", c.httpport);
    ReadText(text, "rtmpport", c.rtmpport);
    ReadText(text, "igmpip", c.igmpip);
    ReadText(text, "igmpport", c.igmpport);
    ReadText(text, "igmpttl", c.igmpttl);
    ReadText(text, "igmpinterface", c.igmpinterface);
    ReadText(text, "network_interface", c.network_interface);
    ReadInteger(text, "iptv_time_shift_record_duration", c.iptv_time_shift_record_duration_text,
                c.iptv_time_shift_record_duration);
    if (ReadText(text, "tv_on_demand_record_duration", c.tv_on_demand_record_duration_text)) {
        c.tv_on_demand_record_duration = static_cast<int32_t>(std::atoi(c.tv_on_demand_record_duration_text));
        if (c.tv_on_demand_record_duration > 60) {
            LogSystemMessage("tv_on_demand_record_duration should be >60 min.");
            LogSystemMessage("System sets 60 min. to tv_on_demand_record_duration");
            c.tv_on_demand_record_duration = 60;
        }
    }
    if (ReadText(text, "bitrate_constant", c.bitrate_constant_text)) {
        c.bitrate_constant = static_cast<float>(std::atof(c.bitrate_constant_text));
        if (c.bitrate_constant > 2.0f) {
            LogSystemMessage("System Warning : bitrate_constant (%5.2f) >2.0\n", static_cast<double>(c.bitrate_constant));
            c.bitrate_constant = 0.0f;
        }
    }
    ReadInteger(text, "system_log", c.system_log_text, c.system_log);
    if (ReadText(text, "user_authorization", c.user_authorization_text)) {
        const char first = c.user_authorization_text[0];
        if (first == '0') {
            c.user_authorization = false;
        } else if (first == '1') {
            c.user_authorization = true;
            c.user_separator     = '&';
            c.password_separator = ':';
        } else {
            c.user_authorization = true;
            c.user_separator     = first;
            c.password_separator = first;
        }
    }
    ReadText(text, "videopath", c.videopath);
    ReadText(text, "picturepath", c.picturepath);
    ReadText(text, "runningtextpath", c.runningtextpath);
    ReadText(text, "plugin_command_path", c.plugin_command_path);
    ReadLimits(text, c);
    return 1;
}

int LoadDnsServerFile()
{
    std::string text;
    FILE* probe = std::fopen("xan_dns.txt", "rb");
    if (probe == nullptr) {
        LogSystemMessage("no DNS File\n");
        return 0;
    }
    std::fclose(probe);
    if (ReadWholeFile("xan_dns.txt", text) != 1) return 0;
    NormaliseLineEnd(text);
    const std::size_t open = text.find("<dns_ip>");
    const std::size_t close = open == std::string::npos ? std::string::npos : text.find("</dns_ip>", open + 8);
    if (close == std::string::npos) {
        LogSystemMessage("DNS File is error format\n");
        return 0;
    }
    CopyText(g_dns_server_ip, std::string_view(text).substr(open + 8, close - open - 8));
    return 1;
}
