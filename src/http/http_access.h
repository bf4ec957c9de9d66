#pragma once
// The user check every HTTP request path shares: the credentials a request carries, the check
// of them, and the refusal answers.

#include "net/connection.h"

#include <string>

// The answers a refused request gets: the user check's refusal, and a request that did not
// arrive within its time.
extern const char kHttpUserError[];
extern const char kHttpTimedOut[];

// A request's credentials into conn: from the query after the path (after_path points past
// it), else from an "Authorization: Basic" header when basic_allowed; all three cleared
// without either.
void TakeRequestCredentials(PlayerConnection& conn, const char* request_text, const char* after_path, bool basic_allowed);
// The user check of a request: the MAC ID stands for the user unless the user is "root".
// False when refused: header then holds the 1001 or 1002 answer and the stop flag is set.
[[nodiscard]] bool CheckCredentials(PlayerConnection& conn, std::string& header);
// After the user check: false when the user holds packages without the channel (a "/N.ch"
// path names N, any other live path channel 1); header then holds the 1001 answer and the stop
// flag is set. Always true without the user check.
[[nodiscard]] bool CheckChannelAccess(PlayerConnection& conn, int channel_number, std::string& header);
// The same for a file request: a channel's recording or time-shift file (by its path in the
// working directory) is refused as that channel is; every other file passes.
[[nodiscard]] bool CheckStoredFileAccess(PlayerConnection& conn, const std::string& path, std::string& header);
