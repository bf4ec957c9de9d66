#pragma once
// The token service: a user name and password the user check accepts buy a token, which
// every management request then carries. Tokens are 18 random decimal digits; one unused for
// 24 hours expires, and a user holds at most kTokensPerUser (a new one pushes out the oldest).
// Every look-up is a hash search, never a walk over all tokens.

#include "users/user_db.h"

#include <cstddef>
#include <cstdint>

class PlayerConnection;

constexpr std::size_t kTokenSize        = 24;              // 18 digits and the terminator
constexpr int         kTokenDigits      = 18;
constexpr std::size_t kTokenUserSize    = kUserNameSize;   // a user name never cut
constexpr uint64_t    kTokenIdleLimitMs = 24ull * 60 * 60 * 1000;
constexpr std::size_t kTokensPerUser    = 16;

// Serves "createtoken?userid=...&password=..." and "destroytoken?token=...&userid=...&password=...".
void TokenRestHandler(PlayerConnection& conn, char* text);

// The user of a token (letter case ignored); counts as a use. False when unknown or expired.
bool FindToken(const char* token, char (&user_id)[kTokenUserSize]);
// The first (oldest living) token of a user (letter case ignored). False when the user has none.
bool FindTokenOfUser(const char* user_id, char (&token)[kTokenSize]);
// 1 when the token equal to the text (exactly) belongs to "root", else 0; logs which. A token
// it finds counts as used.
int IsRootToken(const char* token);
// Issues a token for the user (also used by tests); the token text. The user's oldest token
// goes when kTokensPerUser are held already.
void CreateToken(const char* user_id, char (&token)[kTokenSize]);
// Drops the tokens unused since now_ms - kTokenIdleLimitMs; the number dropped.
int ExpireIdleTokens(uint64_t now_ms);
// Removes every token (stop of the player management server, shutdown).
void FreeAllTokens();
