#pragma once
// "quorvane_config.txt" and "xan_dns.txt": read once at start-up, read-only afterwards.

#include <cstdint>
#include <string>
#include <string_view>

// Every text holds the raw value cut to its size (terminator included); the numbers are the
// converted values where a key has one.
struct Configuration {
    char    startmenu[256];
    char    iptv_base_port_text[12];
    int32_t iptv_base_port;
    char    vod_base_port_text[12];
    int32_t vod_base_port;
    char    time_zone_diff_text[4];
    int32_t time_zone_diff;
    char    httpport[12];
    char    rtmpport[12];
    char    igmpip[16];
    char    igmpport[12];
    char    igmpttl[8];                                // "": the system's default TTL
    char    igmpinterface[16];                         // address or name; "": the system's choice
    char    network_interface[5];
    char    iptv_time_shift_record_duration_text[12];
    int32_t iptv_time_shift_record_duration;          // seconds
    char    tv_on_demand_record_duration_text[12];
    int32_t tv_on_demand_record_duration;             // minutes; 0 or less: off
    char    bitrate_constant_text[8];
    float   bitrate_constant;
    char    system_log_text[4];
    int32_t system_log;
    char    user_authorization_text[4];
    bool    user_authorization;
    char    user_separator;                           // between parameters ('&')
    char    password_separator;                       // between user and password (':')
    char    videopath[256];
    char    picturepath[256];
    char    runningtextpath[256];
    char    plugin_command_path[1024];
    int64_t cgi_upload_limit_mb;                      // largest film a CGI POST may upload
    int64_t cgi_post_limit_kb;                        // largest body of a POST that uploads no film
    int64_t cgi_min_free_mb;                          // free space a POST body may never take
    int32_t cgi_time_limit;                           // seconds a CGI program may run
    int64_t cgi_output_limit_kb;                      // most of a CGI program's output that is answered
    int32_t http_request_time_limit;                  // seconds for a request head and a small body
    int32_t udp_receive_buffer_kb;                    // asked of the kernel per UDP input
    bool    metrics;                                  // "/metrics" and "/status.json" served
    int32_t rtsp_session_timeout;                     // seconds an RTSP session may stay silent (announced)
    int32_t vod_pause_timeout;                        // seconds a paused VOD session may go without a command
    int32_t epg_poll_seconds;                         // how often the XMLTV files of "epg/" are looked at
    int32_t pull_idle_seconds;                        // an on-demand pull lets go this long after its last viewer
};

extern Configuration g_config;
extern char          g_server_base_dir[1024];        // working directory when loaded
extern char          g_dns_server_ip[16];
extern uint16_t      g_dns_server_port;              // 53; tests point it at a fake server

// Sets every value to its default (also done before the first load).
void ResetConfiguration();
// Reads "quorvane_config.txt"; 1 when the file was read, 0 otherwise (defaults kept).
[[nodiscard]] int LoadConfiguration();
// Reads "xan_dns.txt"; 1 when an address was taken, 0 otherwise (default kept).
[[nodiscard]] int LoadDnsServerFile();

// Shared with the admin program's reader.
// Reads a whole file; 1 read, 0 cannot be opened, -1 empty or unreadable.
int ReadWholeFile(const char* path, std::string& text);
// Makes the text end with "\r\n": a final "\n" becomes "\r\n", no line break gets one.
void NormaliseLineEnd(std::string& text);
// The configuration file's text as both programs read it: ReadWholeFile, then (when read)
// NormaliseLineEnd; returns what ReadWholeFile returned.
int ReadConfigurationText(const char* path, std::string& text);
// The value of the first occurrence of key + "=" anywhere in text, up to the next "\n"
// without a "\r" right before it; false when the key or the line end is missing.
bool FindKeyValue(std::string_view text, std::string_view key, std::string_view& value);
