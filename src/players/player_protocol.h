#pragma once
// The set-top management line protocol as text: the registration and status message with its
// values, the framing of what a box sends into whole messages, the time and player-time
// texts, and the settings merge of a save.

#include "net/connection.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

constexpr std::size_t kRegistrationLimit = 200;     // the first message of a box
constexpr std::size_t kCommandReceiveSize = 512;    // one receive of the command thread
constexpr std::size_t kPlayerAnswerLimit = 2048;    // a box's settings text
constexpr uint64_t kMessageWaitMs = 10000;          // a message must be whole within this
constexpr uint64_t kMessageGapMs = 500;             // silence that ends a message without an end mark

// The values of a registration or status message. Each value runs from its key to the
// separator before the next key; the MAC ID is at most 12 characters, up to the first blank
// or control character.
struct PlayerStatusFields {
    char mac_id[kMacIdSize] = "";
    char player_name[kCredentialSize] = "";
    char password[kCredentialSize] = "";
    char group[kGroupSize] = "";
    bool has_mac = false;           // "MACID=" with at least one character after it
    bool has_credentials = false;   // "PlayerName=" and "Password="
};
// Reads the keys of text (it need not be terminated). Returns has_mac && has_credentials.
bool ParsePlayerStatus(std::string_view text, PlayerStatusFields& fields);

enum class PlayerMessageKind {
    kStatus,      // holds "PlayerName=": a registration or status
    kRetrOk,      // "RETR_OK"
    kOther,       // anything else, such as the answer to "QUERY"
};
struct PlayerMessage {
    PlayerMessageKind kind = PlayerMessageKind::kOther;
    std::string       text;
};

// Cuts what a box sends into messages, whatever the receives were. A status message is whole
// once its "IPAddr=" value has ended (a blank, a line end, the next message, or a short
// silence); "RETR_OK" at once; any other text at the next message or after a short silence,
// or when it reaches the limit. A message that is not whole within kMessageWaitMs of its
// first byte is dropped.
class PlayerMessageFramer {
public:
    explicit PlayerMessageFramer(std::size_t limit) : limit_(limit) {}
    void Add(const char* data, std::size_t length, uint64_t now_ms);
    // The next whole message; false when none is whole yet.
    bool Next(uint64_t now_ms, PlayerMessage& message);
    // Drops a message that has waited too long; true when one was dropped.
    bool DropStale(uint64_t now_ms);
    // How long a receive may wait before Next could have something through the silence rule
    // (-1: no limit from the framer).
    int WaitLimitMs(uint64_t now_ms) const;
    std::size_t Pending() const { return buffer_.size(); }

private:
    void Take(std::size_t length, uint64_t now_ms, PlayerMessageKind kind, PlayerMessage& message);
    std::size_t limit_;
    std::string buffer_;
    uint64_t    first_ms_ = 0;     // when the pending message began
    uint64_t    last_ms_ = 0;      // the last byte added
};

// "STAT %d,%d,%d,%d,%d,%d,%d": year, month, day, hour, minute, second, millisecond.
std::string StatText(const std::tm& when, int milliseconds);
// The STAT of the local time now.
std::string CurrentStatText();
// "%d/%d/%d %d:%d:%d", year/month/day hour:minute:second.
void PlayerTimeText(const std::tm& when, char (&text)[kPlayerTimeSize]);

// The "SAVE_MACID_SETTING " text for a box whose settings are current, with the values of
// new_values (written key="value") put in place of the box's own.
std::string MergePlayerSettings(std::string_view current, std::string_view new_values);
