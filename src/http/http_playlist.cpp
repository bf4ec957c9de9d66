#include "http/http_playlist.h"

#include "channels/archive.h"
#include "channels/guide.h"
#include "channels/menu_documents.h"
#include "channels/xmltv.h"
#include "core/calendar.h"
#include "core/config.h"
#include "core/log.h"
#include "core/text.h"
#include "http/http_access.h"
#include "users/channel_packages.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

namespace {

const char* const kDays[]   = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool PlainHost(std::string_view host)
{
    if (host.empty() || host.size() > 255) return false;
    for (const char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr(".-_:[]", c) == nullptr) return false;
    return true;
}

// A value for an address: characters that would end the value, the address or the list line
// are left out (the server compares credentials as they come, without decoding).
std::string AddressValue(std::string_view value)
{
    std::string kept;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || std::strchr("\"#&?<>\\^`{|}", c) != nullptr) continue;
        if (c == g_config.user_separator || c == g_config.password_separator) continue;
        kept.push_back(c);
    }
    return kept;
}

// A name inside a quoted attribute and after the comma of "#EXTINF".
std::string ListName(std::string_view name)
{
    std::string kept;
    for (const char c : name) {
        if (c == '\r' || c == '\n') continue;
        kept.push_back(c == '"' ? '\'' : c);
    }
    return kept;
}

}  // namespace

std::string_view RequestTarget(const char* request)
{
    const char* start = std::strchr(request, ' ');
    if (start == nullptr) return {};
    ++start;
    const char* end = std::strstr(start, " HTTP/");
    if (end == nullptr) return {};
    return std::string_view(start, static_cast<std::size_t>(end - start));
}

std::string HeaderValue(const char* request, std::string_view name)
{
    for (const char* line = std::strstr(request, "\r\n"); line != nullptr; line = std::strstr(line, "\r\n")) {
        line += 2;
        if (line[0] == '\r' || line[0] == '\0') break;        // the end of the head
        if (strncasecmp(line, std::string(name).c_str(), name.size()) != 0 || line[name.size()] != ':') continue;
        const char* value = line + name.size() + 1;
        while (*value == ' ' || *value == '\t') ++value;
        const char* end = std::strstr(value, "\r\n");
        std::size_t length = end != nullptr ? static_cast<std::size_t>(end - value) : std::strlen(value);
        while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t')) --length;
        return std::string(value, length);
    }
    return {};
}

std::string RequestHost(const char* request, int socket)
{
    const std::string host = HeaderValue(request, "Host");
    if (PlainHost(host)) return host;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    char address[INET_ADDRSTRLEN] = "127.0.0.1";
    if (socket >= 0 && getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) == 0)
        inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
    return std::string(address) + ":" + g_config.httpport;
}

std::string CredentialQuery(const PlayerConnection& conn)
{
    if (conn.user_name[0] == '\0' && conn.mac_id[0] == '\0') return {};
    const std::string separator(1, g_config.user_separator);
    std::string query = "u=" + AddressValue(conn.user_name) + separator + "p=" + AddressValue(conn.password);
    if (conn.mac_id[0] != '\0') query += separator + "m=" + AddressValue(conn.mac_id);
    return query;
}

std::string HttpDate(std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[40];
    FormatText(text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday % 7], utc.tm_mday, kMonths[utc.tm_mon % 12],
               utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::time_t ParseHttpDate(std::string_view text)
{
    // "Thu, 10 Dec 2026 01:02:03 GMT"
    if (text.size() != 29 || text[3] != ',' || text.substr(25) != " GMT") return -1;
    const auto number = [&](std::size_t at, std::size_t digits) -> int {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    int month = -1;
    for (int m = 0; m < 12; ++m)
        if (text.substr(8, 3) == kMonths[m]) month = m + 1;
    const int day = number(5, 2), year = number(12, 4), hour = number(17, 2), minute = number(20, 2), second = number(23, 2);
    if (month < 0 || day < 1 || day > 31 || year < 1970 || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
        second > 60)
        return -1;
    return static_cast<std::time_t>(DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second);
}

// The absolute address of the channel's logo ("" without one).
std::string LogoAddress(const ChannelRecord& channel, const std::string& base)
{
    if (channel.img[0] == '\0') return {};
    const std::string img = ListName(channel.img);
    const bool absolute = img.rfind("http://", 0) == 0 || img.rfind("https://", 0) == 0;
    return absolute ? img : base + (img[0] == '/' ? img.substr(1) : img);
}

std::string ChannelListText(const ChannelTable& table, const std::string& host, const std::string& query, bool archive_on,
                            const char* user)
{
    const std::shared_ptr<const PackageTable> packages = CurrentPackages();
    const std::string base = "http://" + host + "/";
    const std::string tail = query.empty() ? "" : "?" + query;
    const std::string guide = base + "epg.xml" + tail;
    std::string list = "#EXTM3U url-tvg=\"" + guide + "\" x-tvg-url=\"" + guide + "\"\r\n";
    for (int32_t i = 0; i < table.Count(); ++i) {
        if (user != nullptr && !packages->MayWatch(user, i + 1)) continue;
        const ChannelRecord& channel = *table.channels[static_cast<std::size_t>(i)];
        const std::string number = std::to_string(i + 1);
        const std::string name = ListName(channel.name);
        list += "#EXTINF:-1 tvg-id=\"" + number + "\" tvg-name=\"" + name + "\"";
        const std::string logo = LogoAddress(channel, base);
        if (!logo.empty()) list += " tvg-logo=\"" + logo + "\"";
        list += " group-title=\"TV\"";
        if (archive_on && channel.rec_folder[0] != '\0' && RecordingFolderIsSafe(channel.rec_folder)) {
            list += " catchup=\"default\" catchup-days=\"7\" catchup-source=\"" + base + number +
                    "/archive-{utc}-{duration}.ts" + tail + "\"";
        }
        list += "," + name + "\r\n" + base + number + ".ch" + tail + "\r\n";
    }
    return list;
}

std::string GuideText(const ChannelTable& table, const std::string& host, int64_t now, const char* user)
{
    const std::shared_ptr<const PackageTable> packages = CurrentPackages();
    const std::string base = "http://" + host + "/";
    XmltvGuide guide;
    for (int32_t i = 0; i < table.Count(); ++i) {
        if (user != nullptr && !packages->MayWatch(user, i + 1)) continue;
        const ChannelRecord& channel = *table.channels[static_cast<std::size_t>(i)];
        const std::string number = std::to_string(i + 1);
        guide.channels.push_back(XmltvChannel{number, {channel.name}, LogoAddress(channel, base)});
        for (GuideProgramme& programme : g_guide.Programmes(i + 1, now - kGuidePastSeconds, now + kGuideKeepDays * 86400)) {
            guide.programmes.push_back(XmltvProgramme{number, programme.start, programme.stop, std::move(programme.title),
                                                      std::move(programme.description)});
        }
    }
    return WriteXmltv(guide, "Quorvane");
}

std::string AnswerHead(bool http11, const char* status, const std::string& headers, std::size_t length)
{
    return std::string(http11 ? "HTTP/1.1 " : "HTTP/1.0 ") + status + "\r\nServer: Quorvane/6.0\r\n" + headers +
           "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

std::string NotModified(const char* request, bool http11, const std::string& etag, std::time_t modified,
                        const std::string& headers)
{
    const std::string match = HeaderValue(request, "If-None-Match");
    bool fresh = false;
    if (!match.empty()) {
        fresh = match == "*" || match.find(etag) != std::string::npos;
    } else {
        const std::time_t since = ParseHttpDate(HeaderValue(request, "If-Modified-Since"));
        fresh = since >= 0 && since >= modified;
    }
    if (!fresh) return {};
    return std::string(http11 ? "HTTP/1.1" : "HTTP/1.0") + " 304 Not Modified\r\nServer: Quorvane/6.0\r\n" + headers +
           "Connection: close\r\n\r\n";
}

std::string CacheHeaders(int max_age, const std::string& etag, std::time_t modified)
{
    return std::string("Cache-Control: ") + (g_config.user_authorization ? "private, " : "") + "max-age=" +
           std::to_string(max_age) + "\r\nETag: " + etag + "\r\nLast-Modified: " + HttpDate(modified) + "\r\n";
}

static bool IsChannelListPath(std::string_view path)
{
    return path == "/playlist.m3u" || path == "/playlist.m3u8" || path == "/epg.xml";
}

// The boxes' main menu asked with a user's credentials (in the query or as Basic) while the
// server writes the menus and checks users: it lists that user's channels. Asked without
// them, it is the file every box gets.
static bool IsUserMenuRequest(const char* request, std::string_view target, std::string_view path)
{
    return path == "/tml/stb_tml.xml" && g_config.user_authorization && g_config.tv_on_demand_record_duration > 0 &&
           (path.size() < target.size() || strcasestr(request, "\nAuthorization: Basic ") != nullptr);
}

bool IsChannelListRequest(const char* request)
{
    const std::string_view target = RequestTarget(request);
    const std::string_view path = target.substr(0, target.find('?'));
    return IsChannelListPath(path) || IsUserMenuRequest(request, target, path);
}

bool ServeChannelList(PlayerConnection& conn, const char* request, bool http11)
{
    const std::string_view target = RequestTarget(request);
    const std::string_view path = target.substr(0, target.find('?'));
    const bool guide = path == "/epg.xml";
    const bool menu = IsUserMenuRequest(request, target, path);
    if (!IsChannelListPath(path) && !menu) return false;
    LogSystemMessage("Request Channel List =[%.*s]\n", static_cast<int>(path.size()), path.data());
    TakeRequestCredentials(conn, request, target.data() + path.size(), true);
    if (g_config.user_authorization) {
        std::string refusal;
        if (!CheckCredentials(conn, refusal)) {
            if (!SendConnectionText(conn, refusal)) LogSystemMessage("Channel list: the refusal was not sent\n");
            return true;
        }
    }
    const char* user = g_config.user_authorization ? conn.user_name : nullptr;
    if (menu) {
        const std::shared_ptr<const PackageTable> packages = CurrentPackages();
        const std::string body = MainMenuDocument(*CurrentChannels(), std::atoi(g_config.httpport),
                                                  [&](int number) { return packages->MayWatch(user, number); });
        const std::string headers = "Content-Type: text/xml;charset=big5\r\nCache-Control: private, no-cache\r\n";
        if (!SendConnectionText(conn, AnswerHead(http11, "200 OK", headers, body.size()) + body))
            LogSystemMessage("Set-top menu: the answer was not sent\n");
        return true;
    }
    if (guide) {
        const std::string body =
            GuideText(*CurrentChannels(), RequestHost(request, conn.socket.load()), std::time(nullptr), user);
        const std::string headers = "Content-Type: application/xml; charset=utf-8\r\nCache-Control: no-cache\r\n";
        if (!SendConnectionText(conn, AnswerHead(http11, "200 OK", headers, body.size()) + body))
            LogSystemMessage("Programme guide: the answer was not sent\n");
        return true;
    }
    const std::string query = g_config.user_authorization ? CredentialQuery(conn) : std::string();
    const bool archive_on = g_config.tv_on_demand_record_duration > 0;
    const std::string body =
        ChannelListText(*CurrentChannels(), RequestHost(request, conn.socket.load()), query, archive_on, user);
    const char* type = path == "/playlist.m3u8" ? "application/vnd.apple.mpegurl" : "audio/x-mpegurl";
    const std::string headers = std::string("Content-Type: ") + type + "\r\nCache-Control: no-cache\r\n";
    if (!SendConnectionText(conn, AnswerHead(http11, "200 OK", headers, body.size()) + body))
        LogSystemMessage("Channel list: the answer was not sent\n");
    return true;
}
