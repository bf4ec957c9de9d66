#include "rest/player_rest.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/query.h"
#include "players/player_protocol.h"
#include "players/player_server.h"
#include "rest/rest_common.h"
#include "rest/token_service.h"

#include <string>
#include <string_view>

namespace {

// "REST" to a box, then its command thread is stopped and woken; it closes the socket.
void RebootBox(PlayerBox& box)
{
    if (!PlayerSocketOpen(box)) return;
    SendToPlayer(box, "REST");
    LogSystemMessage("[%s]\n", "REST");
    SleepMs(10);
    if (PlayerSocketOpen(box)) StopPlayer(box);
}

void QueryAll(PlayerConnection& conn)
{
    LogSystemMessage("Player REST API for query all\n");
    const std::string body = ListPlayers();       // one walk: the length is the body's
    SendConnectionText(conn, RestLongHeader(body.size()));
    if (!body.empty()) SendConnectionText(conn, body);
}

void Reboot(PlayerConnection& conn, const std::string& mac_id)
{
    PlayerBox* box = nullptr;
    if (!FindPlayer(mac_id.c_str(), box)) return;   // an unknown box gets no answer
    if (box != nullptr) RebootBox(*box);
    ReleasePlayer(box);
    SendConnectionText(conn, kRestOkLine);
}

void RebootAll(PlayerConnection& conn)
{
    for (PlayerBox* box : HoldAllPlayers()) {
        RebootBox(*box);
        ReleasePlayer(box);
    }
    SendConnectionText(conn, kRestOkLine);
}

// The box's answer goes out with its real length once it is in; a silent box answers nothing
// (length 0) after the wait.
void Query(PlayerConnection& conn, const std::string& mac_id)
{
    PlayerBox* box = nullptr;
    if (!FindPlayer(mac_id.c_str(), box)) return;
    std::string answer;
    if (box != nullptr) AskPlayer(*box, "QUERY", answer, kPlayerAnswerWaitMs);
    ReleasePlayer(box);
    const bool sent = SendConnectionText(conn, RestLongHeader(answer.size())) && (answer.empty() || SendConnectionText(conn, answer));
    if (answer.empty()) return;
    LogSystemMessage("%s", answer.c_str());
    if (sent) LogSystemMessage("Send Query [%d] Bytess Data OK\n", static_cast<int>(answer.size()));
}

// The new values: everything after the "=" of the "setting" pair up to the line end, decoded.
std::string SettingText(const RestText& request)
{
    const std::string_view query = request.query;
    std::string_view value;
    if (!FindQueryValue(query, "setting", value)) return {};
    return UrlDecode(query.substr(static_cast<std::size_t>(value.data() - query.data())));
}

void SaveSetting(PlayerConnection& conn, const RestText& request, const std::string& mac_id)
{
    PlayerBox* box = nullptr;
    if (!FindPlayer(mac_id.c_str(), box)) return;
    if (box != nullptr && PlayerSocketOpen(*box)) {
        std::string current;
        if (AskPlayer(*box, "QUERY", current, kPlayerAnswerWaitMs) == 1 && !current.empty()) {
            std::string reply;
            AskPlayer(*box, MergePlayerSettings(current, SettingText(request)), reply, kPlayerAnswerWaitMs);
            SendToPlayer(*box, CurrentStatText());
        }
    }
    ReleasePlayer(box);
    SendConnectionText(conn, kRestOkLine);
}

}  // namespace

void PlayerRestHandler(PlayerConnection& conn, char* text)
{
    const RestText request = SplitRestText(text);
    LogSystemMessage("Start to process Player REST API\n");
    std::string token;
    char user_id[kTokenUserSize];
    if (!RestParameter(request, "token", token) || !FindToken(token.c_str(), user_id)) {
        SendConnectionText(conn, kNotFoundAnswer);
        LogSystemMessage("Failed process Player REST API\n");
        return;
    }
    const std::string& command = request.command;
    const bool known = command == "query_all" || command == "reboot" || command == "reboot_all" ||
                       command == "query" || command == "save_setting";
    if (known && IsRootToken(token.c_str()) == 0) {
        // Listing, querying, configuring and rebooting boxes are root's.
        SendConnectionText(conn, kNotFoundAnswer);
        return;
    }
    std::string mac_id;
    if (command == "query_all") {
        QueryAll(conn);
    } else if (command == "reboot") {
        if (RestParameter(request, "mac_id", mac_id)) Reboot(conn, mac_id);
    } else if (command == "reboot_all") {
        RebootAll(conn);
    } else if (command == "query") {
        if (RestParameter(request, "mac_id", mac_id)) Query(conn, mac_id);
    } else if (command == "save_setting") {
        if (RestParameter(request, "mac_id", mac_id)) SaveSetting(conn, request, mac_id);
    }
    LogSystemMessage("finished process Player REST API\n");
}
