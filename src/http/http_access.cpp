#include "http/http_access.h"

#include "channels/archive.h"
#include "core/config.h"
#include "core/log.h"
#include "core/text.h"
#include "users/channel_packages.h"
#include "users/credentials.h"
#include "users/user_db.h"

#include <cstring>

const char kHttpUserError[] = "HTTP/1.0 1001 Username and Password error\r\n\r\n";
const char kHttpTimedOut[]  = "HTTP/1.0 408 Request Timeout\r\n\r\n";
static const char kTimeExpired[] = "HTTP/1.0 1002 Time Expired\r\n\r\n";

void TakeRequestCredentials(PlayerConnection& conn, const char* request_text, const char* after_path, bool basic_allowed)
{
    const char* line_end = std::strstr(after_path, " HTTP");
    const char* question = std::strchr(after_path, '?');
    const char* basic = std::strstr(request_text, "Authorization: Basic ");
    if (question != nullptr && (line_end == nullptr || question < line_end)) {
        ParseQueryCredentials(question + 1, g_config.user_separator, g_config.password_separator, conn.mac_id,
                              conn.user_name, conn.password);
    } else if (basic != nullptr && basic_allowed) {
        ParseBasicCredentials(basic + std::strlen("Authorization: Basic "), conn.mac_id, conn.user_name, conn.password);
    } else {
        conn.mac_id[0] = conn.user_name[0] = conn.password[0] = '\0';
    }
}

bool CheckCredentials(PlayerConnection& conn, std::string& header)
{
    const char* name = conn.mac_id[0] != '\0' && std::strcmp(conn.user_name, "root") != 0 ? conn.mac_id : conn.user_name;
    const int check = CheckUser(name, conn.password);
    if (check == 1) {
        // The account that passed is the one the stream runs under: the one-stream-per-user
        // rule and the watch log use it, never another name from the same request.
        if (name == conn.mac_id) CopyText(conn.user_name, conn.mac_id);
        return true;
    }
    header = check == 2 ? kTimeExpired : kHttpUserError;
    conn.stop.store(1);
    if (check == 2) LogSystemMessage("User [%s], Password[%s] Time Expired\n", conn.user_name, conn.password);
    return false;
}

bool CheckChannelAccess(PlayerConnection& conn, int channel_number, std::string& header)
{
    if (!g_config.user_authorization || UserMayWatchChannel(conn.user_name, channel_number)) return true;
    header = kHttpUserError;
    conn.stop.store(1);
    return false;
}

bool CheckStoredFileAccess(PlayerConnection& conn, const std::string& path, std::string& header)
{
    if (!g_config.user_authorization || UserMayOpenStoredFile(conn.user_name, path)) return true;
    header = kHttpUserError;
    conn.stop.store(1);
    return false;
}
