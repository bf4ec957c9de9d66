// Fuzz entry for the set-top management texts: the registration and status values, the
// framing of received bytes into messages (the input cut into receives at chosen points and
// times), and the settings merge of a save. The first byte picks the parser; the rest is its
// input.

#include "players/player_protocol.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);   // may hold zero bytes
    switch (data[0] % 3) {
    case 0: {
        PlayerStatusFields fields;
        (void)ParsePlayerStatus(text, fields);
        break;
    }
    case 1: {
        // Each receive: one byte of length (1..64) and one of delay (in 10 ms steps), then the bytes.
        PlayerMessageFramer framer(data[0] & 0x80 ? kRegistrationLimit : kPlayerAnswerLimit);
        uint64_t now = 1;
        std::size_t at = 0;
        PlayerMessage message;
        while (at + 2 <= text.size()) {
            const std::size_t length = 1 + static_cast<uint8_t>(text[at]) % 64;
            now += static_cast<uint64_t>(static_cast<uint8_t>(text[at + 1])) * 10;
            at += 2;
            const std::size_t take = length < text.size() - at ? length : text.size() - at;
            framer.Add(text.data() + at, take, now);
            at += take;
            while (framer.Next(now, message)) {
                if (message.text.empty()) __builtin_trap();   // a message always takes bytes
            }
            framer.DropStale(now);
            (void)framer.WaitLimitMs(now);
        }
        while (framer.Next(now + kMessageGapMs, message)) {
        }
        if (framer.Pending() > kPlayerAnswerLimit + 64) __builtin_trap();   // the buffer stays bounded
        break;
    }
    case 2: {
        // The box's settings, a zero byte, the new values.
        const std::size_t split = text.find('\0');
        const std::string_view all(text);
        (void)MergePlayerSettings(all.substr(0, split), split == std::string::npos ? "" : all.substr(split + 1));
        break;
    }
    }
    return 0;
}
