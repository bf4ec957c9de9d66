#include "rest/server_rest.h"

#include "channels/channel_editing.h"
#include "channels/channel_log.h"
#include "channels/channel_table.h"
#include "core/config.h"
#include "core/locks.h"
#include "core/log.h"
#include "core/server_control.h"
#include "core/text.h"
#include "ingest/channel_facts.h"
#include "rest/rest_common.h"
#include "rest/token_service.h"
#include "users/channel_packages.h"
#include "users/movie_fee.h"
#include "users/user_db.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

ChannelRefresh g_channel_refresh = nullptr;

namespace {

enum class Command {
    kShutdown,
    kRefreshChannel,
    kChannelUpdate,
    kChannelAdd,
    kChannelDelete,
    kChannelQuery,
    kChannelLogQuery,
    kCheckPoint,
    kChargePoint,
    kQueryAllUsers,
    kAddUser,
    kDeleteUser,
    kUpdateUser,
    kCheckSource,
    kPackageQuery,
    kPackageUpdate,
    kPackageDelete,
    kUserPackageQuery,
    kUserPackageUpdate,
};

struct CommandEntry {
    const char* keyword;
    Command     command;
    bool        root_only;
};

// In the order in which they are recognised: the first keyword the command starts with wins.
constexpr std::array<CommandEntry, 19> kCommands{{
    {"shutdown", Command::kShutdown, true},
    {"refresh_channel", Command::kRefreshChannel, true},
    {"channel_list_update", Command::kChannelUpdate, true},
    {"channel_list_add", Command::kChannelAdd, true},
    {"channel_list_del", Command::kChannelDelete, true},
    {"channel_list_query", Command::kChannelQuery, false},
    {"channel_player_log_query", Command::kChannelLogQuery, true},
    {"check_user_point", Command::kCheckPoint, false},
    {"charge_user_point", Command::kChargePoint, false},
    {"query_all_user", Command::kQueryAllUsers, true},
    {"add_user", Command::kAddUser, true},
    {"del_user", Command::kDeleteUser, true},
    {"update_user", Command::kUpdateUser, true},
    {"check_source", Command::kCheckSource, true},
    {"package_list_query", Command::kPackageQuery, true},
    {"package_list_update", Command::kPackageUpdate, true},
    {"package_list_del", Command::kPackageDelete, true},
    {"user_package_query", Command::kUserPackageQuery, true},
    {"user_package_update", Command::kUserPackageUpdate, true},
}};

const CommandEntry* FindCommand(std::string_view command)
{
    for (const CommandEntry& entry : kCommands)
        if (command.starts_with(entry.keyword)) return &entry;
    return nullptr;
}

// Reads every listed parameter; false when one is missing.
template <std::size_t N>
bool ReadParameters(const RestText& request, const char* const (&names)[N], std::string (&values)[N])
{
    for (std::size_t i = 0; i < N; ++i)
        if (!RestParameter(request, names[i], values[i])) return false;
    return true;
}

void SendResult(PlayerConnection& conn, int result)
{
    char body[32];
    const std::size_t length = FormatText(body, "result=%d\r\n", result);
    SendConnectionText(conn, std::string_view(body, length));
}

// A body announced with its real length.
void SendLongAnswer(PlayerConnection& conn, std::string_view body)
{
    SendConnectionText(conn, RestLongHeader(body.size()));
    if (!body.empty()) SendConnectionText(conn, body);
}

const char* PayModelText(int32_t pay_model)
{
    switch (pay_model) {
    case kPayPre: return "pre";
    case kPayPost: return "post";
    case kPayFree: return "free";
    default: return "none";
    }
}

void ChannelEdit(PlayerConnection& conn, const RestText& request, Command command)
{
    if (command == Command::kChannelDelete) {
        const char* const names[] = {"ch_no"};
        std::string values[1];
        if (!ReadParameters(request, names, values)) {
            SendConnectionText(conn, kNotFoundAnswer);
            LogSystemMessage("Failed process Server channel_list_update REST API\n");
            return;
        }
        SendConnectionText(conn, kRestOkLine);
        SendResult(conn, DeleteChannelDefinition(values[0].c_str()));
        return;
    }
    const char* const names[] = {"ch_no", "src", "ch_name", "rec_folder"};
    std::string values[4];
    if (!ReadParameters(request, names, values)) {
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage(command == Command::kChannelAdd ? "Failed process Server channel_list_add REST API\n"
                                                         : "Failed process Server channel_list_update REST API\n");
        return;
    }
    const char* number = values[0].c_str();
    const char* src = values[1].c_str();
    const char* name = values[2].c_str();
    const char* rec_folder = values[3].c_str();
    // Backup sources, a merged path and on demand are optional: an update without them keeps
    // what the channel had.
    std::string backup, merge, on_demand;
    ChannelExtras extras;
    if (RestParameter(request, "backup", backup)) extras.backup = backup.c_str();
    if (RestParameter(request, "merge", merge)) extras.merge = merge.c_str();
    if (RestParameter(request, "ondemand", on_demand)) extras.on_demand = on_demand.c_str();
    SendConnectionText(conn, kRestOkLine);
    const int result = command == Command::kChannelAdd ? AddChannelDefinition(name, src, rec_folder, extras)
                                                       : UpdateChannelDefinition(number, name, src, rec_folder, extras);
    SendResult(conn, result);
}

// Any token may list the channels; only root sees the credentials in their sources. Each
// channel says whether the token's user may watch it (every one without the user check).
void ChannelQuery(PlayerConnection& conn, const std::string& token, const char* user_id)
{
    LogSystemMessage("Player REST API for channel_list_query\n");
    std::string list;
    const std::shared_ptr<const PackageTable> packages = CurrentPackages();
    ListChannelDefinitions(list, IsRootToken(token.c_str()) == 1,
                           [&](int number) { return !g_config.user_authorization || packages->MayWatch(user_id, number); });
    SendLongAnswer(conn, list);
}

// "package=<name>\r\nchannels=<numbers and ranges>\r\n" per package, in file order.
void PackageQuery(PlayerConnection& conn)
{
    std::string list;
    for (const ChannelPackage& package : CurrentPackages()->packages)
        list.append("package=").append(package.name).append("\r\nchannels=").append(PackageChannels(package)).append("\r\n");
    SendLongAnswer(conn, list);
}

// "username=<name>\r\npackages=<names>\r\n" for the user named (an empty list without
// packages), or for every user with packages.
void UserPackageQuery(PlayerConnection& conn, const RestText& request)
{
    const std::shared_ptr<const PackageTable> packages = CurrentPackages();
    const auto entry = [](const std::string& user, const std::vector<std::string>* names) {
        std::string text = "username=" + user + "\r\npackages=";
        for (std::size_t i = 0; names != nullptr && i < names->size(); ++i) text.append(i > 0 ? "," : "").append((*names)[i]);
        return text + "\r\n";
    };
    std::string user;
    std::string list;
    if (RestParameter(request, "username", user)) {
        const auto found = packages->user_packages.find(user);
        list = entry(user, found == packages->user_packages.end() ? nullptr : &found->second);
    } else {
        std::vector<std::string> users;
        for (const auto& [name, names] : packages->user_packages) users.push_back(name);
        std::sort(users.begin(), users.end());
        for (const std::string& name : users) list += entry(name, &packages->user_packages.at(name));
    }
    SendLongAnswer(conn, list);
}

void PackageEdit(PlayerConnection& conn, const RestText& request, Command command)
{
    const char* const names[] = {command == Command::kUserPackageUpdate ? "username" : "package",
                                 command == Command::kUserPackageUpdate ? "packages" : "channels"};
    std::string values[2];
    const bool found = command == Command::kPackageDelete ? RestParameter(request, names[0], values[0])
                                                           : ReadParameters(request, names, values);
    if (!found) {
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage("Failed process Server channel package REST API\n");
        return;
    }
    SendConnectionText(conn, kRestOkLine);
    int result = 0;
    switch (command) {
    case Command::kPackageUpdate: result = SetChannelPackage(values[0].c_str(), values[1].c_str()); break;
    case Command::kPackageDelete: result = RemoveChannelPackage(values[0].c_str()); break;
    default: result = SetUserPackages(values[0].c_str(), values[1].c_str()); break;
    }
    SendResult(conn, result);
}

void ChannelLogQuery(PlayerConnection& conn, const RestText& request)
{
    const char* const names[] = {"year", "month", "day", "hour"};
    std::string values[4];
    if (!ReadParameters(request, names, values)) {
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage("Failed process Server channel_player_log_query REST API\n");
        return;
    }
    LogSystemMessage("Player REST API for channel_player_log_query\n");
    std::string lines;
    if (ReadChannelLogLines(values[0].c_str(), values[1].c_str(), values[2].c_str(), values[3].c_str(), lines) == 0) {
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage("Failed process Server channel_player_log_query REST API: open flle failed\n");
        return;
    }
    SendLongAnswer(conn, lines);
}

bool ReadMovieName(PlayerConnection& conn, const RestText& request, std::string& movie)
{
    if (RestParameter(request, "movie_name", movie)) return true;
    SendConnectionText(conn, kNotFoundAnswer);
    LogSystemMessage("Failed process Server channel_list_update REST API\n");
    return false;
}

void CheckPoint(PlayerConnection& conn, const RestText& request, const char* user_id)
{
    std::string movie;
    if (!ReadMovieName(conn, request, movie)) return;
    int32_t user_points = 0;
    int32_t movie_fee = 0;
    const int result = CheckUserPoint(user_id, movie.c_str(), user_points, movie_fee);
    char body[96];
    const std::size_t length =
        FormatText(body, "result=%d\nuser_point=%d\nmovie_point=%d\n", result, user_points, movie_fee);
    SendLongAnswer(conn, std::string_view(body, length));
}

void ChargePoint(PlayerConnection& conn, const RestText& request, const char* user_id)
{
    std::string movie;
    if (!ReadMovieName(conn, request, movie)) return;
    const int result = ChargeUserPoint(user_id, user_id, movie.c_str());
    char body[32];
    const std::size_t length = FormatText(body, "result=%d\r\n", result);
    SendLongAnswer(conn, std::string_view(body, length));
}

void QueryAllUsers(PlayerConnection& conn)
{
    const std::shared_ptr<const UserTable> users = CurrentUsers();
    std::string entries;
    entries.reserve(users->records.size() * 96);          // a typical entry; longer ones grow it
    for (std::size_t i = 0; i < users->records.size(); ++i) {
        const UserRecord& user = users->records[i];
        if (user.user_name[0] == '\0') continue;         // a line that did not load as a user
        char entry[kUserNameSize + kPasswordSize + 128];
        const std::size_t length = FormatText(
            entry, "username=%s\r\npassword=%s\r\nexpired_time=%d/%d/%d\r\npaymodel=%s\r\nuser_point=%d\r\n",
            user.user_name, user.password, user.expiry_month, user.expiry_day, user.expiry_year,
            PayModelText(user.pay_model), users->Points(static_cast<int32_t>(i)));
        entries.append(entry, length);
    }
    SendLongAnswer(conn, entries);
}

void UserEdit(PlayerConnection& conn, const RestText& request, Command command)
{
    if (command == Command::kDeleteUser) {
        const char* const names[] = {"username"};
        std::string values[1];
        if (!ReadParameters(request, names, values)) {
            SendConnectionText(conn, kNotFoundAnswer);
            LogSystemMessage("Failed to add user\n");
            return;
        }
        SendConnectionText(conn, kRestOkLine);
        SendResult(conn, DeleteUser(values[0].c_str()));
        return;
    }
    const char* const names[] = {"username", "password", "expired_time", "paymodel", "user_point"};
    std::string values[5];
    if (!ReadParameters(request, names, values)) {
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage("Failed to add user\n");
        return;
    }
    SendConnectionText(conn, kRestOkLine);
    const auto edit = command == Command::kAddUser ? AddUser : UpdateUser;
    SendResult(conn, edit(values[0].c_str(), values[1].c_str(), values[2].c_str(), values[3].c_str(),
                          values[4].c_str()));
}

// "result=0" and the facts as key=value lines: ts, bitrate, then per program its number and
// PMT PID, each stream's pid, type and codec, and its language and picture size when known;
// or "result=1" and the error.
std::string SourceFactsLines(const SourceFacts& facts, int result)
{
    if (result != 0) return "result=1\r\nerror=" + facts.error + "\r\n";
    std::string out = "result=0\r\nts=" + std::string(facts.ts ? "1" : "0") + "\r\nbitrate=" + std::to_string(facts.bitrate) + "\r\n";
    for (const StreamFactsProgram& program : facts.stream.programs()) {
        out += "program=" + std::to_string(program.number) + "\r\npmt_pid=" + std::to_string(program.pmt_pid) + "\r\n";
        for (const StreamFactsStream& stream : program.streams) {
            out += "pid=" + std::to_string(stream.pid) + "\r\ntype=" + std::to_string(stream.type) + "\r\ncodec=" + stream.codec + "\r\n";
            if (!stream.language.empty()) out += "language=" + stream.language + "\r\n";
            if (stream.width > 0) out += "width=" + std::to_string(stream.width) + "\r\nheight=" + std::to_string(stream.height) + "\r\n";
        }
    }
    return out;
}

void CheckSourceCommand(PlayerConnection& conn, const RestText& request)
{
    std::string source;
    SourceFacts facts;
    int result = 1;
    if (!RestParameter(request, "source", source) || source.empty()) facts.error = "bad source";
    else result = CheckSource(source, facts);
    SendLongAnswer(conn, SourceFactsLines(facts, result));
}

}  // namespace

void ServerRestHandler(PlayerConnection& conn, char* text)
{
    const RestText request = SplitRestText(text);
    LogSystemMessage("Start to process Server REST API\n");

    std::string token;
    if (!RestParameter(request, "token", token)) {
        SendConnectionText(conn, kNotFoundAnswer);
        if (request.query.find("token=") != std::string_view::npos && !request.query_ended)
            LogSystemMessage("Failed process Server REST API : token keyword CRLF NOT FOUND\n");
        else
            LogSystemMessage("Failed process Server REST API : token keyword NOT Found\n");
        return;
    }
    char user_id[kTokenUserSize];
    if (!FindToken(token.c_str(), user_id)) {
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage("Failed process Server REST API : the token no [%s] Not Authorization\n", token.c_str());
        return;
    }

    const CommandEntry* entry = FindCommand(request.command);
    if (entry == nullptr) {
        LogSystemMessage("finished process Server REST API\n");
        return;
    }
    if (entry->root_only && IsRootToken(token.c_str()) == 0) {
        SendConnectionText(conn, kNotFoundAnswer);
        return;
    }

    switch (entry->command) {
    case Command::kShutdown:
        RequestShutdown();
        SendConnectionText(conn, kRestOkLine);
        break;
    case Command::kRefreshChannel: if (g_channel_refresh != nullptr) g_channel_refresh(); break;
    case Command::kChannelUpdate:
    case Command::kChannelAdd:
    case Command::kChannelDelete: ChannelEdit(conn, request, entry->command); break;
    case Command::kChannelQuery: ChannelQuery(conn, token, user_id); break;
    case Command::kChannelLogQuery: ChannelLogQuery(conn, request); break;
    case Command::kCheckPoint: CheckPoint(conn, request, user_id); break;
    case Command::kChargePoint: ChargePoint(conn, request, user_id); break;
    case Command::kQueryAllUsers: QueryAllUsers(conn); break;
    case Command::kAddUser:
    case Command::kDeleteUser:
    case Command::kUpdateUser: UserEdit(conn, request, entry->command); break;
    case Command::kCheckSource: CheckSourceCommand(conn, request); break;
    case Command::kPackageQuery: PackageQuery(conn); break;
    case Command::kUserPackageQuery: UserPackageQuery(conn, request); break;
    case Command::kPackageUpdate:
    case Command::kPackageDelete:
    case Command::kUserPackageUpdate: PackageEdit(conn, request, entry->command); break;
    }
    LogSystemMessage("finished process Server REST API\n");
}
