#include "vod/vod_request.h"

#include "core/text.h"
#include "media/ts_timing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <strings.h>

namespace {

constexpr std::string_view kMacKey      = "MACID=";
constexpr std::string_view kUserKey     = "USERNAME=";
constexpr std::string_view kPasswordKey = "PASSWORD=";
constexpr std::string_view kVideoKey    = "VIDEONAME=";

// The text after key up to the next space (or the end); false when key is missing.
bool WordAfter(std::string_view text, std::string_view key, std::string_view& word)
{
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) return false;
    word = text.substr(at + key.size());
    word = word.substr(0, std::min(word.find(' '), word.size()));
    return true;
}

}  // namespace

VodRequest ParseVodRequest(std::string_view text)
{
    VodRequest request;
    const std::size_t mac = text.find(kMacKey);
    if (mac != std::string_view::npos) {
        request.has_mac_id = true;
        const std::size_t from = mac + kMacKey.size();
        const std::size_t user = text.find(kUserKey, from);
        std::string_view value;
        if (user != std::string_view::npos) {
            // Up to the separator before "USERNAME=".
            value = text.substr(from, user > from ? user - from - 1 : 0);
        } else {
            (void)WordAfter(text, kMacKey, value);
        }
        CopyText(request.mac_id, value);
    }
    std::string_view word;
    if (WordAfter(text, kUserKey, word)) {
        request.has_user = true;
        CopyText(request.user_name, word);
    }
    if (WordAfter(text, kPasswordKey, word)) {
        request.has_password = true;
        CopyText(request.password, word);
    }
    const std::size_t video = text.find(kVideoKey);
    if (video != std::string_view::npos) {
        request.has_video = true;
        std::string_view path = text.substr(video + kVideoKey.size());
        // A line end is never part of a file name (a box typed at with nc sends one).
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.remove_suffix(1);
        // A cut path would name another file: refused instead.
        request.video_too_long = path.size() >= sizeof request.video || path.find('\0') != std::string_view::npos;
        if (!request.video_too_long) CopyText(request.video, path);
    }
    return request;
}

ParsedVodCommand ParseVodCommand(std::string_view text)
{
    static constexpr struct {
        std::string_view start;
        VodCommand       kind;
    } kCommands[] = {
        {"TEARDOWN", VodCommand::kTeardown},       {"PAUSE", VodCommand::kPause},     {"RESUME", VodCommand::kResume},
        {"BEFORE_SEEK", VodCommand::kBeforeSeek}, {"SEEKTO=", VodCommand::kSeekTo},  {"FORWARD", VodCommand::kForward},
        {"BACKWARD", VodCommand::kBackward},
    };
    ParsedVodCommand command;
    for (const auto& entry : kCommands) {
        if (text.substr(0, entry.start.size()) != entry.start) continue;
        command.kind = entry.kind;
        break;
    }
    if (command.kind == VodCommand::kSeekTo) {
        char number[64];
        CopyText(number, text.substr(7));
        const double seconds = std::strtod(number, nullptr);
        // A time that no file reaches (negative, NaN, infinite) seeks to the start.
        command.seconds = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
    }
    return command;
}

int64_t VodSkipTarget(int64_t position, int32_t bitrate_kbps, int64_t file_size, bool forward)
{
    const int64_t skip = static_cast<int64_t>(std::max(bitrate_kbps, 0)) * 30720 / 8;
    const int64_t size = std::max<int64_t>(file_size, 0);
    int64_t target = std::clamp<int64_t>(position, 0, size);
    target = forward ? std::min(target + skip, size) : std::max<int64_t>(target - skip, 0);
    return target - target % kTsBlockSize;
}

bool SameBox(const char* a, const char* b) { return strncasecmp(a, b, kMacIdSize - 1) == 0; }
