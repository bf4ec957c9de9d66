#include "rest/token_service.h"

#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/text.h"
#include "rest/rest_common.h"

#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <sys/random.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

class TokenRecord {
public:
    virtual ~TokenRecord() = default;
    char     token[kTokenSize] = "";
    char     user_id[kTokenUserSize] = "";
    uint64_t last_used_ms = 0;
    std::list<TokenRecord*>::iterator in_use_order;   // its place in TokenTable::by_use
};

// The tokens, found by their text and by their user without a walk, and kept in the order
// of their last use, so that the idle ones are dropped from its front.
struct TokenTable {
    CriticalSection                                               lock;
    std::unordered_map<std::string, std::unique_ptr<TokenRecord>> by_token;   // key: the text in lower case
    std::unordered_map<std::string, std::vector<TokenRecord*>>    by_user;    // lower-case user id; creation order
    std::list<TokenRecord*>                                       by_use;     // least recently used first
};
static TokenTable g_tokens;

static std::string LowerCase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

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

// Takes a token out of every index and destroys it. The caller holds the lock.
static void DropToken(TokenRecord* record)
{
    g_tokens.by_use.erase(record->in_use_order);
    const auto user = g_tokens.by_user.find(LowerCase(record->user_id));
    if (user != g_tokens.by_user.end()) {
        std::vector<TokenRecord*>& list = user->second;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (*it != record) continue;
            list.erase(it);
            break;
        }
        if (list.empty()) g_tokens.by_user.erase(user);
    }
    g_tokens.by_token.erase(LowerCase(record->token));     // destroys the record
}

// A use keeps a token alive for another kTokenIdleLimitMs. The caller holds the lock.
static void MarkUsed(TokenRecord* record, uint64_t now_ms)
{
    record->last_used_ms = now_ms;
    g_tokens.by_use.splice(g_tokens.by_use.end(), g_tokens.by_use, record->in_use_order);
}

// The living token of that text, letter case ignored (or exactly); expired ones are gone
// first. The caller holds the lock.
static TokenRecord* LivingToken(std::string_view token, bool exact, uint64_t now_ms)
{
    ExpireIdleTokens(now_ms);
    const auto found = g_tokens.by_token.find(LowerCase(token));
    if (found == g_tokens.by_token.end()) return nullptr;
    TokenRecord* record = found->second.get();
    return exact && token != record->token ? nullptr : record;
}

// Makes room for one more token of the user: the oldest goes while kTokensPerUser are held.
// The caller holds the lock.
static void KeepRoomFor(const char* user_id)
{
    const auto user = g_tokens.by_user.find(LowerCase(user_id));
    if (user == g_tokens.by_user.end()) return;
    std::vector<TokenRecord*> own;                 // the exact user's, oldest first
    for (TokenRecord* record : user->second)
        if (std::strcmp(record->user_id, user_id) == 0) own.push_back(record);
    for (std::size_t i = 0; i + kTokensPerUser <= own.size(); ++i) DropToken(own[i]);
}

void CreateToken(const char* user_id, char (&token)[kTokenSize])
{
    auto record = std::make_unique<TokenRecord>();
    CopyText(record->user_id, user_id);
    record->last_used_ms = GetTickMs();
    ScopedLock held(g_tokens.lock);
    ExpireIdleTokens(record->last_used_ms);
    KeepRoomFor(record->user_id);
    do NewTokenText(record->token);
    while (g_tokens.by_token.count(LowerCase(record->token)) != 0);
    CopyText(token, record->token);
    TokenRecord* added = record.get();
    added->in_use_order = g_tokens.by_use.insert(g_tokens.by_use.end(), added);
    g_tokens.by_user[LowerCase(added->user_id)].push_back(added);
    g_tokens.by_token.emplace(LowerCase(added->token), std::move(record));
}

int ExpireIdleTokens(uint64_t now_ms)
{
    ScopedLock held(g_tokens.lock);
    int dropped = 0;
    while (!g_tokens.by_use.empty()) {
        TokenRecord* oldest = g_tokens.by_use.front();
        if (now_ms <= oldest->last_used_ms || now_ms - oldest->last_used_ms <= kTokenIdleLimitMs) break;
        DropToken(oldest);
        ++dropped;
    }
    return dropped;
}

bool FindToken(const char* token, char (&user_id)[kTokenUserSize])
{
    const uint64_t now = GetTickMs();
    ScopedLock held(g_tokens.lock);
    TokenRecord* record = LivingToken(token, false, now);
    if (record == nullptr) return false;
    MarkUsed(record, now);
    CopyText(user_id, record->user_id);
    LogSystemMessage("Find List szUserID =%s\n", record->user_id);
    return true;
}

bool FindTokenOfUser(const char* user_id, char (&token)[kTokenSize])
{
    ScopedLock held(g_tokens.lock);
    ExpireIdleTokens(GetTickMs());
    const auto user = g_tokens.by_user.find(LowerCase(user_id));
    if (user == g_tokens.by_user.end()) return false;
    const TokenRecord* first = user->second.front();
    CopyText(token, first->token);
    LogSystemMessage("Find List szUserID =%s\n", first->user_id);
    return true;
}

int IsRootToken(const char* token)
{
    bool root = false;
    {
        const uint64_t now = GetTickMs();
        ScopedLock held(g_tokens.lock);
        if (TokenRecord* record = LivingToken(token, true, now); record != nullptr) {
            MarkUsed(record, now);
            root = std::strcmp(record->user_id, "root") == 0;
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
    ScopedLock held(g_tokens.lock);
    g_tokens.by_use.clear();
    g_tokens.by_user.clear();
    g_tokens.by_token.clear();
}

// Removes the user's first token when it is `token` (exact comparison). False otherwise.
static bool DestroyFirstTokenOf(const char* user_id, const char* token)
{
    ScopedLock held(g_tokens.lock);
    ExpireIdleTokens(GetTickMs());
    const auto user = g_tokens.by_user.find(LowerCase(user_id));
    if (user == g_tokens.by_user.end()) return false;
    TokenRecord* first = user->second.front();
    if (std::strcmp(first->token, token) != 0) return false;
    DropToken(first);
    return true;
}

static void SendTokenAnswer(PlayerConnection& conn, const char* token)
{
    char body[kTokenSize + 16];
    const std::size_t length = FormatText(body, "token=%s\r\n", token);
    SendConnectionText(conn, RestLongHeader(length));
    SendConnectionText(conn, std::string_view(body, length));
}

static void SendTokenRefusal(PlayerConnection& conn) { SendConnectionText(conn, kNotFoundAnswer); }

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
