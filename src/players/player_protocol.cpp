#include "players/player_protocol.h"

#include "core/platform/platform.h"
#include "core/text.h"

#include <array>
#include <time.h>

namespace {

constexpr std::string_view kNameKey = "PlayerName=";
constexpr std::string_view kRetrOk = "RETR_OK";
constexpr std::string_view kIpKey = "IPAddr=";

bool IsBlank(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\0'; }

// The end of the "IPAddr=" value: a blank or any control character.
bool EndsValue(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool IsKeyCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

std::size_t Earlier(std::size_t a, std::size_t b) { return a < b ? a : b; }

}  // namespace

bool ParsePlayerStatus(std::string_view text, PlayerStatusFields& fields)
{
    // The keys in their order; each is searched after the one before it.
    constexpr std::array<std::string_view, 5> kKeys = {kNameKey, "Password=", "Group=", "MACID=", kIpKey};
    std::array<std::size_t, kKeys.size()> at{};
    std::size_t from = 0;
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
        at[k] = text.find(kKeys[k], from);
        if (at[k] != std::string_view::npos) from = at[k] + kKeys[k].size();
    }
    // A value runs to the separator before the next key that is there (or to the text's end).
    const auto value = [&](std::size_t k) {
        const std::size_t begin = at[k] + kKeys[k].size();
        std::size_t end = text.size();
        for (std::size_t later = k + 1; later < kKeys.size(); ++later) {
            if (at[later] == std::string_view::npos) continue;
            end = at[later] > begin ? at[later] - 1 : begin;
            break;
        }
        return text.substr(begin, end - begin);
    };
    fields = PlayerStatusFields{};
    fields.has_credentials = at[0] != std::string_view::npos && at[1] != std::string_view::npos;
    if (at[0] != std::string_view::npos) CopyText(fields.player_name, value(0));
    if (at[1] != std::string_view::npos) CopyText(fields.password, value(1));
    if (at[2] != std::string_view::npos) CopyText(fields.group, value(2));
    if (at[3] != std::string_view::npos) {
        const std::size_t begin = at[3] + kKeys[3].size();
        std::size_t end = begin;
        while (end < text.size() && end - begin < kMacIdSize - 1 && !EndsValue(text[end])) ++end;
        CopyText(fields.mac_id, text.substr(begin, end - begin));
        fields.has_mac = end > begin;
    }
    return fields.has_mac && fields.has_credentials;
}

void PlayerMessageFramer::Add(const char* data, std::size_t length, uint64_t now_ms)
{
    if (length == 0) return;
    if (buffer_.empty()) first_ms_ = now_ms;
    last_ms_ = now_ms;
    buffer_.append(data, length);
}

void PlayerMessageFramer::Take(std::size_t length, uint64_t now_ms, PlayerMessageKind kind, PlayerMessage& message)
{
    message.kind = kind;
    message.text.assign(buffer_, 0, length);
    // The line end of a status or an acknowledgement belongs to it.
    if (kind != PlayerMessageKind::kOther)
        while (length < buffer_.size() && (buffer_[length] == '\r' || buffer_[length] == '\n' || buffer_[length] == '\0'))
            ++length;
    buffer_.erase(0, length);
    first_ms_ = now_ms;
}

bool PlayerMessageFramer::Next(uint64_t now_ms, PlayerMessage& message)
{
    if (buffer_.empty()) return false;
    const bool quiet = now_ms - last_ms_ >= kMessageGapMs;
    const bool full = buffer_.size() >= limit_;
    std::size_t lead = 0;
    while (lead < buffer_.size() && IsBlank(buffer_[lead])) ++lead;
    if (lead == buffer_.size()) {
        if (quiet || full) buffer_.clear();      // line ends and blanks between messages
        return false;
    }
    const std::string_view all(buffer_);
    if (all.substr(lead).starts_with(kRetrOk)) {
        buffer_.erase(0, lead);
        Take(kRetrOk.size(), now_ms, PlayerMessageKind::kRetrOk, message);
        return true;
    }
    const std::size_t name = all.find(kNameKey);
    const std::size_t retr = all.find(kRetrOk);
    if (name != std::string_view::npos && name <= lead + 1) {
        // A status at the head: whole once its last value has ended.
        buffer_.erase(0, lead);
        const std::string_view head(buffer_);
        const std::size_t ip = head.find(kIpKey);
        if (ip == std::string_view::npos) {
            if (!full) return false;
            Take(head.size(), now_ms, PlayerMessageKind::kOther, message);
            return true;
        }
        std::size_t end = ip + kIpKey.size();
        while (end < head.size() && !EndsValue(head[end])) ++end;
        const std::size_t next_name = head.find(kNameKey, name - lead + 1);
        if (next_name != std::string_view::npos) end = Earlier(end, next_name - 1);
        end = Earlier(end, head.find(kRetrOk, ip));
        if (end < head.size() || quiet || full) {
            Take(Earlier(end, head.size()), now_ms, PlayerMessageKind::kStatus, message);
            return true;
        }
        return false;
    }
    // Other text at the head: it ends where the next status or acknowledgement begins.
    std::size_t boundary = std::string_view::npos;
    if (name != std::string_view::npos) boundary = name - 1;
    if (retr != std::string_view::npos) boundary = Earlier(boundary, retr);
    if (boundary != std::string_view::npos) {
        Take(boundary, now_ms, PlayerMessageKind::kOther, message);
        return true;
    }
    // The beginning of a key that a slow link has cut: wait for the rest.
    const std::string_view rest = all.substr(lead);
    const bool cut_key = (rest.size() < kNameKey.size() && kNameKey.starts_with(rest)) ||
                         (rest.size() > 1 && rest.size() <= kNameKey.size() && kNameKey.starts_with(rest.substr(1))) ||
                         (rest.size() < kRetrOk.size() && kRetrOk.starts_with(rest));
    if (cut_key && !full) return false;
    if (!quiet && !full) return false;
    Take(Earlier(buffer_.size(), limit_), now_ms, PlayerMessageKind::kOther, message);
    return true;
}

bool PlayerMessageFramer::DropStale(uint64_t now_ms)
{
    if (buffer_.empty() || now_ms - first_ms_ <= kMessageWaitMs) return false;
    buffer_.clear();
    return true;
}

int PlayerMessageFramer::WaitLimitMs(uint64_t now_ms) const
{
    if (buffer_.empty()) return -1;
    const uint64_t gap_end = last_ms_ + kMessageGapMs;
    const uint64_t stale_end = first_ms_ + kMessageWaitMs + 1;
    const uint64_t until = Earlier(gap_end, stale_end);
    return until > now_ms ? static_cast<int>(until - now_ms) : 0;
}

std::string StatText(const std::tm& when, int milliseconds)
{
    return FormatString("STAT %d,%d,%d,%d,%d,%d,%d", when.tm_year + 1900, when.tm_mon + 1, when.tm_mday, when.tm_hour,
                        when.tm_min, when.tm_sec, milliseconds);
}

std::string CurrentStatText()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return StatText(LocalTime(now.tv_sec), static_cast<int>(now.tv_nsec / 1000000));
}

void PlayerTimeText(const std::tm& when, char (&text)[kPlayerTimeSize])
{
    FormatText(text, "%d/%d/%d %d:%d:%d", when.tm_year + 1900, when.tm_mon + 1, when.tm_mday, when.tm_hour,
               when.tm_min, when.tm_sec);
}

// The new value of key in new_values, from its "=": through the closing double quote when the
// value is quoted, else up to the next separator. Empty when the key is not there.
static std::string_view NewValue(std::string_view new_values, std::string_view key)
{
    for (std::size_t at = new_values.find(key); at != std::string_view::npos; at = new_values.find(key, at + 1)) {
        const std::size_t equals = at + key.size();
        if (equals >= new_values.size() || new_values[equals] != '=') continue;
        if (at > 0 && IsKeyCharacter(new_values[at - 1])) continue;    // the end of a longer key
        std::size_t end = equals + 1;
        if (end < new_values.size() && new_values[end] == '"') {
            const std::size_t close = new_values.find('"', end + 1);
            end = close == std::string_view::npos ? new_values.size() : close + 1;
        } else {
            while (end < new_values.size() && !IsBlank(new_values[end]) && new_values[end] != ',' &&
                   new_values[end] != ';' && new_values[end] != '&')
                ++end;
        }
        return new_values.substr(equals, end - equals);
    }
    return {};
}

std::string MergePlayerSettings(std::string_view current, std::string_view new_values)
{
    std::string out = "SAVE_MACID_SETTING ";
    std::size_t at = 0;
    while (at < current.size()) {
        if (current[at] == '\n') {
            out.push_back('\n');
            ++at;
            continue;
        }
        if (current.substr(at).starts_with("\r\n")) {
            out.append("\r\n");
            at += 2;
            continue;
        }
        const std::size_t line_end = current.find('\n', at);
        const std::size_t next = line_end == std::string_view::npos ? current.size() : line_end + 1;
        const std::string_view line = current.substr(at, next - at);
        at = next;
        const std::size_t equals = line.find('=');
        if (line[0] == '[' || equals == std::string_view::npos || equals == 0) {
            out.append(line);
            continue;
        }
        const std::string_view key = line.substr(0, equals);
        const std::string_view value = NewValue(new_values, key);
        if (value.empty()) {
            out.append(line);
            continue;
        }
        out.append(key);
        out.append(value);
        out.push_back('\n');
    }
    return out;
}
