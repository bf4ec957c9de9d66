#pragma once
// The texts of the set-top VOD protocol: the box's request on its control connection, the
// commands that follow it, and the byte arithmetic of a 30-second skip. Pure functions over
// received bytes (the fuzz target drives them).

#include "net/connection.h"

#include <cstdint>
#include <string_view>

constexpr std::size_t kVodMessageSize = 1024;    // one receive of a request or command

// The request "MACID=... USERNAME=... PASSWORD=... VIDEONAME=...", each key found anywhere.
struct VodRequest {
    bool has_mac_id   = false;
    bool has_user     = false;
    bool has_password = false;
    bool has_video    = false;
    bool video_too_long = false;           // longer than a connection's path holds
    // The text after "MACID=" up to the character before "USERNAME=" (to the next space
    // when "USERNAME=" does not follow it), cut to 12 characters.
    char mac_id[kMacIdSize] = "";
    // After "USERNAME=" and "PASSWORD=", each up to the next space.
    char user_name[kCredentialSize] = "";
    char password[kCredentialSize] = "";
    // Everything after "VIDEONAME=" to the end of the request, less a closing line end.
    char video[kConnectionPathSize] = "";
};
VodRequest ParseVodRequest(std::string_view text);

enum class VodCommand : int {
    kNone = 0,       // no command: ignored
    kTeardown,
    kPause,
    kResume,
    kBeforeSeek,
    kSeekTo,
    kForward,
    kBackward,
};
struct ParsedVodCommand {
    VodCommand kind = VodCommand::kNone;
    double     seconds = 0;                // SEEKTO's target: finite and not below 0
};
// The command the received text starts with.
ParsedVodCommand ParseVodCommand(std::string_view text);

// Where a 30-second skip from position lands: bitrate × 30720 ÷ 8 bytes on or back, kept
// within 0 and file_size and rounded down to a multiple of 1316.
int64_t VodSkipTarget(int64_t position, int32_t bitrate_kbps, int64_t file_size, bool forward);
// Whether two MAC IDs name one box: their first 12 characters, ignoring case.
bool SameBox(const char* a, const char* b);
