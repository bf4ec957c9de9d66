#include "rest/token_service.h"

#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/text.h"
#include "rest/rest_common.h"

#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <string>
#include <string_view>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

class TokenRecord {
public:
    virtual ~TokenRecord() = default;
    char     token[kTokenSize] = "";
    char     user_id[kTokenUserSize] = "";
    uint64_t last_used_ms = 0;
};

// The tokens in creation order.
static CriticalSection           g_token_list_lock;
static std::vector<TokenRecord*> g_token_list;

// Random bytes from the system's source; falls back to /dev/urandom.
static void RandomBytes(uint8_t* out, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(out + got, size - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t r = read(fd, out + got, size - got);
            close(fd);
            if (r > 0) got += static_cast<std::size_t>(r);
        }
    }
}

// One decimal digit from a random byte, without bias (bytes from 250 up are drawn again).
static char RandomDigit(int lowest)
{
    for (;;) {
        uint8_t byte = 0;
        RandomBytes(&byte, 1);
        if (byte >= 250) continue;
        const int digit = byte % 10;
        if (digit >= lowest) return static_cast<char>('0' + digit);
    }
}

static void NewTokenText(char (&token)[kTokenSize])
{
    for (int i = 0; i < kTokenDigits; ++i) token[i] = RandomDigit(i == 0 ? 1 : 0);
    token[kTokenDigits] = '\0';
}

static bool TokenTaken(const char* token)
{
    for (const TokenRecord* record : g_token_list)
        if (std::strcmp(record->token, token) == 0) return true;
    return false;
}

void CreateToken(const char* user_id, char (&token)[kTokenSize])
{
    auto* record = new TokenRecord;
    CopyText(record->user_id, user_id);
    record->last_used_ms = GetTickMs();
    ScopedLock held(g_token_list_lock);
    ExpireIdleTokens(record->last_used_ms);
    do NewTokenText(record->token);
    while (TokenTaken(record->token));
    CopyText(token, record->token);
    g_token_list.push_back(record);
}

int ExpireIdleTokens(uint64_t now_ms)
{
    ScopedLock held(g_token_list_lock);
    int dropped = 0;
    for (auto it = g_token_list.begin(); it != g_token_list.end();) {
        if (now_ms > (*it)->last_used_ms && now_ms - (*it)->last_used_ms > kTokenIdleLimitMs) {
            delete *it;
            it = g_token_list.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

bool FindToken(const char* token, char (&user_id)[kTokenUserSize])
{
    const uint64_t now = GetTickMs();
    ScopedLock held(g_token_list_lock);
    ExpireIdleTokens(now);
    for (TokenRecord* record : g_token_list) {
        if (strcasecmp(record->token, token) != 0) continue;
        record->last_used_ms = now;
        CopyText(user_id, record->user_id);
        LogSystemMessage("Find List szUserID =%s\n", record->user_id);
        return true;
    }
    return false;
}

bool FindTokenOfUser(const char* user_id, char (&token)[kTokenSize])
{
    ScopedLock held(g_token_list_lock);
    ExpireIdleTokens(GetTickMs());
    for (TokenRecord* record : g_token_list) {
        if (strcasecmp(record->user_id, user_id) != 0) continue;
        CopyText(token, record->token);
        LogSystemMessage("Find List szUserID =%s\n", record->user_id);
        return true;
    }
    return false;
}

int IsRootToken(const char* token)
{
    bool root = false;
    {
        ScopedLock held(g_token_list_lock);
        for (const TokenRecord* record : g_token_list) {
            if (std::strcmp(record->token, token) != 0) continue;
            root = std::strcmp(record->user_id, "root") == 0;
            break;
        }
    }
    if (root) {
        LogSystemMessage("System Message: Root User can acess system information\n");
        return 1;
    }
    LogSystemMessage("System Warning: Non Root User can not acess system information\n");
    return 0;
}

void FreeAllTokens()
{
    ScopedLock held(g_token_list_lock);
    for (TokenRecord* record : g_token_list) delete record;
    g_token_list.clear();
}

// Removes the user's first token when it is `token` (exact comparison). False otherwise.
static bool DestroyFirstTokenOf(const char* user_id, const char* token)
{
    ScopedLock held(g_token_list_lock);
    ExpireIdleTokens(GetTickMs());
    for (auto it = g_token_list.begin(); it != g_token_list.end(); ++it) {
        if (strcasecmp((*it)->user_id, user_id) != 0) continue;
        if (std::strcmp((*it)->token, token) != 0) return false;
        delete *it;
        g_token_list.erase(it);
        return true;
    }
    return false;
}

static void SendTokenAnswer(PlayerConnection& conn, const char* token)
{
    char body[kTokenSize + 16];
    const std::size_t length = FormatText(body, "token=%s\r\n", token);
    SendRestText(conn, RestLongHeader(length));
    SendRestText(conn, std::string_view(body, length));
}

static void SendTokenRefusal(PlayerConnection& conn) { SendRestText(conn, kRest404Line); }

// The text from `from` up to `end` (or npos: missing).
static bool TextUpTo(std::string_view text, std::size_t from, std::string_view end, std::string& value)
{
    const std::size_t stop = text.find(end, from);
    if (stop == std::string_view::npos) return false;
    value.assign(text.substr(from, stop - from));
    return true;
}

static void CreateTokenRequest(PlayerConnection& conn, std::string_view text)
{
    constexpr std::string_view kKey = "createtoken?userid=";
    std::string user_id;
    std::string password;
    const std::size_t user_at = kKey.size();
    const std::size_t amp = text.find('&', user_at);
    const std::size_t pass_key = amp == std::string_view::npos ? amp : text.find("password=", amp);
    if (!TextUpTo(text, user_at, "&", user_id) || pass_key == std::string_view::npos ||
        !TextUpTo(text, pass_key + 9, "\r\n", password)) {
        SendTokenRefusal(conn);
        return;
    }
    if (CheckUser(user_id.c_str(), password.c_str()) != 1) {
        SendTokenRefusal(conn);
        return;
    }
    char token[kTokenSize];
    CreateToken(user_id.c_str(), token);
    SendTokenAnswer(conn, token);
}

static void DestroyTokenRequest(PlayerConnection& conn, std::string_view text)
{
    constexpr std::string_view kKey = "destroytoken?token=";
    std::string token;
    std::string user_id;
    std::string password;
    const std::size_t user_key = text.find("userid=", kKey.size());
    const std::size_t pass_key = user_key == std::string_view::npos ? user_key : text.find("password=", user_key);
    if (!TextUpTo(text, kKey.size(), "&", token) || user_key == std::string_view::npos ||
        !TextUpTo(text, user_key + 7, "&", user_id) || pass_key == std::string_view::npos ||
        !TextUpTo(text, pass_key + 9, "\r\n", password)) {
        SendTokenRefusal(conn);
        return;
    }
    if (CheckUser(user_id.c_str(), password.c_str()) != 1 || !DestroyFirstTokenOf(user_id.c_str(), token.c_str())) {
        SendTokenRefusal(conn);
        return;
    }
    SendTokenAnswer(conn, token.c_str());
}

void TokenRestHandler(PlayerConnection& conn, char* text)
{
    LogSystemMessage("Start to process Token REST API\n");
    const std::string_view request(text);
    if (request.starts_with("createtoken?userid="))
        CreateTokenRequest(conn, request);
    else if (request.starts_with("destroytoken?token="))
        DestroyTokenRequest(conn, request);
    LogSystemMessage("finished process Token REST API\n");
}
