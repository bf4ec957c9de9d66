// Fuzz entry for the programme-guide reader: the bytes after the first are cut into 188-byte
// packets for EitReader; the first byte's bits force the sync byte and PID 0x12 (1) and running
// continuity counters (2), so that most packets reach the section gathering. Every text handed
// on, and the whole input read as one DVB text, must be well-formed UTF-8.

#include "media/eit.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool IsUtf8(const std::string& text)
{
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const uint8_t lead = s[i];
        std::size_t extra = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (extra >= n - i) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        const uint32_t lowest = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

void Check(const std::string& text)
{
    if (!IsUtf8(text)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    EitReader reader([](const EitEvent& event) {
        Check(event.language);
        Check(event.title);
        Check(event.description);
    });
    uint8_t packet[188];
    uint8_t continuity = 0;
    for (size_t at = 0; at < size; at += sizeof packet) {
        const size_t take = std::min(sizeof packet, size - at);
        std::memset(packet, 0xFF, sizeof packet);
        std::memcpy(packet, data + at, take);
        if ((mode & 1) != 0) {
            packet[0] = 0x47;
            packet[1] = static_cast<uint8_t>(packet[1] & 0xE0);
            packet[2] = 0x12;
        }
        if ((mode & 2) != 0) packet[3] = static_cast<uint8_t>((packet[3] & 0xF0) | (continuity++ & 0x0F));
        reader.Packet(packet);
    }
    Check(DvbTextToUtf8(data, size));
    return 0;
}
