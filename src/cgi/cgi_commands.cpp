#include "cgi/cgi_commands.h"

#include "cgi/cgi_config.h"
#include "cgi/cgi_query.h"
#include "cgi/cgi_rest.h"
#include "core/platform/platform.h"
#include "core/text.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kTokenLimit    = 2055;
constexpr std::size_t kUserTextLimit = 19;
constexpr std::size_t kDrainSize     = 65536;         // answer bytes held before they go out
constexpr std::size_t kShortBuffer   = 2048;
constexpr std::size_t kLongBuffer    = 84000;

struct Run {
    std::string      query;
    RestEndpoint     server;
    CgiConfiguration config;
    std::string      token;        // as the browser sent it
    bool             has_token = false;
    std::string&     out;
    const AdminOutput* drain = nullptr;

    // Appends to the answer; a long one goes out in pieces as it grows.
    void Emit(std::string_view piece)
    {
        out.append(piece);
        if (drain != nullptr && *drain && out.size() >= kDrainSize) (*drain)(out);
    }
};

std::string Token(const Run& run) { return ForwardValue(run.token); }

// The values of names, forwarded; false when one is missing.
bool ReadForwarded(const Run& run, std::initializer_list<const char*> names, std::vector<std::string>& values)
{
    values.clear();
    for (const char* name : names) {
        std::string value;
        if (!GetQueryParameter(run.query, name, value)) return false;
        values.push_back(ForwardValue(value));
    }
    return true;
}

RestOutcome Ask(const Run& run, const std::string& request, std::size_t buffer, std::string& answer)
{
    return RestExchange(run.server, request, buffer, answer);
}

// A result-style command: its parameters after the token, failures printed as "0".
void ResultCommand(Run& run, const char* path, std::initializer_list<const char*> names)
{
    std::vector<std::string> values;
    if (!ReadForwarded(run, names, values)) {
        run.out += "0";
        return;
    }
    std::string request = std::string("GET HTTP/1.1 /quorvane/") + path + "?token=" + Token(run);
    std::size_t i = 0;
    for (const char* name : names) request += std::string("&") + name + "=" + values[i++];
    request += "\r\n\r\n";
    std::string answer;
    if (Ask(run, request, 1024, answer) != RestOutcome::kAnswered) {
        run.out += "0";
        return;
    }
    run.out += ResultStyle(answer);
}

// A list of any length: its body passes through as it arrives.
void ListCommand(Run& run, const std::string& path)
{
    LengthStyleReader reader([&run](std::string_view piece) { run.Emit(piece); });
    if (RestStream(run.server, "GET HTTP/1.1 " + path + "?token=" + Token(run) + "\r\n\r\n",
                   [&reader](std::string_view block) { return reader.Take(block); }) != RestOutcome::kAnswered) {
        run.out += "-1\r\n";
        return;
    }
    reader.Finish();
}

// The player commands: failures "XANCP_open failed" and "XANCP_read failed".
bool PlayerRequest(Run& run, const std::string& request, std::size_t buffer, std::string& answer)
{
    const RestOutcome outcome = Ask(run, request, buffer, answer);
    if (outcome == RestOutcome::kConnectFailed) run.out += "XANCP_open failed";
    if (outcome == RestOutcome::kReadFailed) run.out += "XANCP_read failed";
    return outcome == RestOutcome::kAnswered;
}

bool Has200(std::string_view answer) { return answer.find("200 OK") != std::string_view::npos; }

void RebootPlayer(Run& run, const std::string& mac)
{
    std::string answer;
    const std::string mac_text = DecodeBrowserValue(mac);
    if (!PlayerRequest(run, "GET HTTP/1.1 /player/reboot?token=" + Token(run) + "&mac_id=" + ForwardValue(mac) + "\r\n\r\n",
                       kShortBuffer, answer))
        return;
    run.out += Has200(answer) ? "Reboot MACID=[" + mac_text + "] Successfully\n" : "Reboot MACID=[" + mac_text + "] failed\n";
}

void QueryPlayer(Run& run, const std::string& mac)
{
    std::string answer;
    if (!PlayerRequest(run, "GET HTTP/1.1 /player/query?token=" + Token(run) + "&mac_id=" + ForwardValue(mac) + "\r\n\r\n",
                       kShortBuffer, answer))
        return;
    const std::size_t network = answer.find("[network]");
    if (network != std::string::npos) run.out += answer.substr(network);
}

void SavePlayer(Run& run, const std::string& mac, const std::string& setting)
{
    std::string answer;
    if (!PlayerRequest(run, "GET HTTP/1.1 /player/save_setting?token=" + Token(run) + "&mac_id=" + ForwardValue(mac) +
                                "&setting=" + ForwardValue(setting) + "\r\n\r\n",
                       200, answer))
        return;
    run.out += answer;
}

void RebootAllPlayers(Run& run)
{
    std::string answer;
    if (!PlayerRequest(run, "GET HTTP/1.1 /player/reboot_all?token=" + Token(run) + "\r\n\r\n", kShortBuffer, answer)) return;
    run.out += Has200(answer) ? "Reboot All Players Successfully\n" : "Reboot All Players failed\n";
}

void ListChannels(Run& run)
{
    std::string answer;
    if (Ask(run, "GET HTTP/1.1 /quorvane/channel_list_query?token=" + Token(run) + "\r\n\r\n", 20480, answer) !=
        RestOutcome::kAnswered) {
        run.out += "\r\n\r\n";
        return;
    }
    const std::size_t first = answer.find("CH");
    run.out += first == std::string::npos ? "\r\n\r\n" : answer.substr(first);
}

void CheckPoints(Run& run)
{
    std::vector<std::string> values;
    std::string answer;
    if (!ReadForwarded(run, {"movie_name"}, values) ||
        Ask(run, "GET HTTP/1.1 /quorvane/check_user_point?token=" + Token(run) + "&movie_name=" + values[0] + "\r\n\r\n",
            kLongBuffer, answer) != RestOutcome::kAnswered) {
        run.out += "0";
        return;
    }
    if (!Has200(answer)) {
        run.out += "\r\n";
        return;
    }
    const std::size_t result = answer.find("result=");
    run.out += result == std::string::npos ? "\r\n\r\n" : answer.substr(result);
}

void ChannelLog(Run& run)
{
    std::string year, month, day, hour;
    if (!GetQueryParameter(run.query, "year", year) || !GetQueryParameter(run.query, "month", month) ||
        !GetQueryParameter(run.query, "day", day) || !GetQueryParameter(run.query, "hour", hour)) {
        run.out += "0";
        return;
    }
    std::string answer;
    if (Ask(run, "GET HTTP/1.1 /quorvane/channel_player_log_query?token=" + Token(run) + "&year=" + ForwardValue(year) +
                     "&month=" + ForwardValue(month) + "&day=" + ForwardValue(day) + "&hour=" + ForwardValue(hour) +
                     "\r\n\r\n",
            kLongBuffer, answer) != RestOutcome::kAnswered) {
        run.out += "0";
        return;
    }
    run.out += ChannelLogStyle(answer, DecodeBrowserValue(month), DecodeBrowserValue(day), DecodeBrowserValue(year));
}

// Whether the query's token is root's: asked with the user list, which only root may read
// and which changes nothing. Its first line tells; the list itself is not read.
bool HasRootToken(Run& run)
{
    if (!run.has_token || run.token.empty()) return false;
    std::string answer;
    return Ask(run, "GET HTTP/1.1 /quorvane/query_all_user?token=" + Token(run) + "\r\n\r\n", kShortBuffer, answer) ==
               RestOutcome::kAnswered &&
           answer.starts_with("HTTP/1.1 200 OK");
}

// The resolved folder when it lies in the working directory (or is it); "" otherwise.
std::string FolderInside(const std::string& folder)
{
    char base[PATH_MAX];
    char resolved[PATH_MAX];
    if (realpath(".", base) == nullptr || realpath(folder.c_str(), resolved) == nullptr) return {};
    const std::size_t length = std::strlen(base);
    if (std::strncmp(resolved, base, length) != 0 || (resolved[length] != '\0' && resolved[length] != '/')) return {};
    return resolved;
}

void ListFolder(Run& run, const std::string& value, bool directories)
{
    if (!HasRootToken(run)) {
        run.out += "Root token required\n";
        return;
    }
    const std::string folder = FolderInside(DecodeBrowserValue(value));
    std::vector<DirEntry> entries;
    if (folder.empty() || !ListDirectory(folder, entries)) return;
    for (const DirEntry& entry : entries)
        if (entry.is_directory == directories) run.out += entry.name + "\n";
    run.out += directories ? "\n" : "\r\n\r\n";
}

void Shutdown(Run& run)
{
    std::string answer;
    const RestOutcome outcome = Ask(run, "GET HTTP/1.1 /quorvane/shutdown?token=" + Token(run) + "\r\n\r\n", kShortBuffer, answer);
    if (outcome == RestOutcome::kConnectFailed) run.out += "Shutdown Quorvane failed";
    else if (outcome == RestOutcome::kReadFailed) run.out += "Quorvane ShutDown failed\n";
    else run.out += Has200(answer) ? "1\r\n" : "\r\n";
}

void RefreshChannels(Run& run)
{
    std::string answer;
    if (Ask(run, "GET HTTP/1.1 /quorvane/refresh_channel?token=" + Token(run) + "\r\n\r\n", 0, answer) ==
        RestOutcome::kConnectFailed)
        run.out += "Refresh Channel failed";
}

void RebootServer(Run& run)
{
    std::string answer;
    const RestOutcome outcome = Ask(run, "GET HTTP/1.1 /quorvane/reboot?token=" + Token(run) + "\r\n\r\n", kShortBuffer, answer);
    run.out += outcome == RestOutcome::kAnswered && Has200(answer) ? "Reboot Quorvane Successfully" : "Reboot Quorvane failed";
}

void ChannelCommand(Run& run, const char* path, const std::string& number, bool with_texts, const char* connect_failed)
{
    std::string request = std::string("GET HTTP/1.1 /quorvane/") + path + "?token=" + Token(run) + "&ch_no=" + ForwardValue(number);
    if (with_texts) {
        std::string source, name, folder;
        if (!GetQueryParameter(run.query, "ch_source", source) || !GetQueryParameter(run.query, "ch_name", name) ||
            !GetQueryParameter(run.query, "ch_rec_folder", folder)) {
            run.out += "0";
            return;
        }
        request += "&ch_name=" + ForwardValue(name) + "&src=" + ForwardValue(source) + "&rec_folder=" + ForwardValue(folder);
        for (const auto& [field, name_forwarded] : {std::pair{"ch_backup", "&backup="}, std::pair{"ch_merge", "&merge="},
                                                    std::pair{"ch_ondemand", "&ondemand="}}) {
            std::string extra;
            if (GetQueryParameter(run.query, field, extra)) request += name_forwarded + ForwardValue(extra);
        }
    }
    request += "\r\n\r\n";
    std::string answer;
    const RestOutcome outcome = Ask(run, request, 1024, answer);
    if (outcome == RestOutcome::kConnectFailed) run.out += connect_failed;
    else if (outcome == RestOutcome::kReadFailed) run.out += "0";
    else run.out += ResultStyle(answer);
}

void PrintSettings(Run& run)
{
    for (const char* key : {"startmenu", "iptv_base_port", "vod_base_port", "time_zone_diff", "httpport", "rtmpport",
                            "igmpip", "igmpport", "bitrate_constant"})
        run.out += run.config.Get(key) + "\n";
}

void TokenCommand(Run& run, const std::string& user_id, const std::string& password)
{
    const std::string user = ForwardValue(DecodeBrowserValue(user_id).substr(0, kUserTextLimit));
    const std::string secret = ForwardValue(DecodeBrowserValue(password).substr(0, kUserTextLimit));
    const bool destroy = run.has_token;
    const std::string request = destroy ? "GET HTTP/1.1 /token/destroytoken?token=" + Token(run) + "&userid=" + user +
                                              "&password=" + secret + "\r\n\r\n"
                                        : "GET HTTP/1.1 /token/createtoken?userid=" + user + "&password=" + secret + "\r\n\r\n";
    std::string answer;
    const RestOutcome outcome = Ask(run, request, kShortBuffer, answer);
    if (outcome == RestOutcome::kConnectFailed) {
        run.out += destroy ? "0" : "-1";
        return;
    }
    if (outcome == RestOutcome::kReadFailed) {
        run.out += destroy ? "Token=0\r\n" : "0";
        return;
    }
    const std::size_t at = answer.find("token=");
    const std::size_t end = at == std::string::npos ? std::string::npos : answer.find("\r\n", at);
    run.out += end == std::string::npos ? "0" : answer.substr(at + 6, end - at - 6);
}

void UpdateSettings(Run& run, const std::string& vod_port)
{
    if (!HasRootToken(run)) {
        run.out += "Root token required\n";
        return;
    }
    std::vector<std::pair<std::string, std::string>> changes{{"vod_base_port", DecodeBrowserValue(vod_port)}};
    const std::pair<const char*, const char*> optional[] = {{"httpport", "httpport"},         {"rtmpport", "rtmpport"},
                                                            {"rtsp_base_port", "iptv_base_port"}, {"igmpip", "igmpip"},
                                                            {"igmpport", "igmpport"}};
    for (const auto& [parameter, key] : optional) {
        std::string value;
        if (GetQueryParameter(run.query, parameter, value)) changes.emplace_back(key, DecodeBrowserValue(value));
    }
    for (const auto& [key, value] : changes) {
        const bool valid = key == "igmpip" ? IsIpv4Text(value) : IsPortText(value);
        if (!valid) {
            run.out += "Invalid setting " + key + "\n";
            return;
        }
    }
    run.out += SaveConfigurationChanges(changes) == 1 ? "Update Setting Successfully" : "Update Setting Failed";
}

// The server opens the source for a few seconds and says what it carries (root only).
void CheckSource(Run& run)
{
    if (!HasRootToken(run)) {
        run.out += "Root token required\n";
        return;
    }
    std::vector<std::string> values;
    if (!ReadForwarded(run, {"source"}, values)) {
        run.out += "result=1\r\nerror=bad source\r\n";
        return;
    }
    std::string answer;
    if (Ask(run, "GET HTTP/1.1 /quorvane/check_source?token=" + Token(run) + "&source=" + values[0] + "\r\n\r\n", kLongBuffer,
            answer) != RestOutcome::kAnswered) {
        run.out += "result=1\r\nerror=no answer from the server\r\n";
        return;
    }
    run.out += LengthStyle(answer);
}

// The command table, in order; true when a row ran.
bool Dispatch(Run& run)
{
    const std::string_view q = run.query;
    std::string value;
    const auto has = [&](const char* word) { return ContainsKeyword(q, word); };
    const auto get = [&](const char* name) { return GetQueryParameter(q, name, value); };

    // First: a source's text may hold any other command's word.
    if (has("check_source")) return CheckSource(run), true;
    // Before the user commands: a package or user name may hold their words.
    if (has("package_list_query")) return ListCommand(run, "/quorvane/package_list_query"), true;
    if (has("package_list_update")) return ResultCommand(run, "package_list_update", {"package", "channels"}), true;
    if (has("package_list_del")) return ResultCommand(run, "package_list_del", {"package"}), true;
    if (has("user_package_query")) return ListCommand(run, "/quorvane/user_package_query"), true;
    if (has("user_package_update")) return ResultCommand(run, "user_package_update", {"username", "packages"}), true;
    if (has("query_all_user")) return ListCommand(run, "/quorvane/query_all_user"), true;
    if (has("update_user"))
        return ResultCommand(run, "update_user", {"username", "password", "expired_time", "paymodel", "user_point"}), true;
    if (has("add_user"))
        return ResultCommand(run, "add_user", {"username", "password", "expired_time", "paymodel", "user_point"}), true;
    if (has("del_user")) return ResultCommand(run, "del_user", {"username"}), true;
    if (has("xanbox_inquery")) return ListCommand(run, "/player/query_all"), true;
    if (get("reboot_player")) return RebootPlayer(run, value), true;
    if (get("query_xanbox_setting")) return QueryPlayer(run, value), true;
    if (get("save_xanbox_setting")) {
        const std::string mac = value;
        if (get("setup_setting")) return SavePlayer(run, mac, DecodeBrowserValue(value)), true;
    }
    if (has("reboot_all_player")) return RebootAllPlayers(run), true;
    if (get("channel_inquery")) return ListChannels(run), true;
    if (get("charge_user_point")) return ResultCommand(run, "charge_user_point", {"movie_name"}), true;
    if (get("check_user_point")) return CheckPoints(run), true;
    if (has("channel_player_log_query")) return ChannelLog(run), true;
    if (get("get_dir_list")) return ListFolder(run, value, true), true;
    if (get("get_file_list")) return ListFolder(run, value, false), true;
    if (get("rtsp_server_ip_port_inquery"))
        return run.out += "rtsp://" + run.server.address + ":" + run.config.Get("iptv_base_port") + "\n", true;
    if (get("http_server_ip_port_inquery"))
        return run.out += "http://" + run.server.address + ":" + run.config.Get("httpport") + "\n", true;
    if (has("quorvane_shutdown")) return Shutdown(run), true;
    if (get("refresh_channel")) return RefreshChannels(run), true;
    if (has("quorvane_reboot")) return RebootServer(run), true;
    if (get("update_channel"))
        return ChannelCommand(run, "channel_list_update", value, true, "Failed to Update Channel Information "), true;
    if (get("add_channel")) return ChannelCommand(run, "channel_list_add", value, true, "0"), true;
    if (get("del_channel")) return ChannelCommand(run, "channel_list_del", value, false, "0"), true;
    if (has("value_creation")) return PrintSettings(run), true;
    if (get("startmenu")) return run.config.Set("startmenu", DecodeBrowserValue(value)), true;
    if (get("user_id")) {
        const std::string user = value;
        if (get("password")) return TokenCommand(run, user, value), true;
        run.out += "0";
    }
    if (get("vod_base_port")) return UpdateSettings(run, value), true;
    if (get("time_diff")) return run.config.Set("time_zone_diff", DecodeBrowserValue(value)), true;
    return false;
}

}  // namespace

int RunAdminProgram(const char* query, const char* server_address, std::string& out, const AdminOutput& drain)
{
    if (query == nullptr) {
        out += "NULL\n";
        return 0;
    }
    Run run{query, {}, {}, {}, false, out, &drain};
    char address[16];
    CopyText(address, server_address != nullptr ? server_address : "");
    run.server.address = address[0] != '\0' ? address : "127.0.0.1";
    if (ReadConfiguration(run.config) == 0) out += "Failed";
    const long port = std::strtol(run.config.Get("httpport").c_str(), nullptr, 10);
    run.server.port = port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
    run.has_token = GetQueryParameter(run.query, "token", run.token);
    if (run.token.size() > kTokenLimit) run.token.resize(kTokenLimit);
    Dispatch(run);
    return 1;
}
