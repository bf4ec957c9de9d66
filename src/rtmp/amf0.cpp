#include "rtmp/amf0.h"

#include <cstring>

static int PutLength16(uint8_t* at, std::size_t length)
{
    at[0] = static_cast<uint8_t>(length >> 8);
    at[1] = static_cast<uint8_t>(length);
    return 2;
}

static std::size_t Cut16(const char* text)
{
    const std::size_t length = std::strlen(text);
    return length > 0xFFFF ? 0xFFFF : length;
}

int AMF0_PutString(uint8_t* at, const char* text)
{
    const std::size_t length = Cut16(text);
    at[0] = kAmf0String;
    PutLength16(at + 1, length);
    std::memcpy(at + 3, text, length);
    return static_cast<int>(3 + length);
}

int AMF0_PutName(uint8_t* at, const char* name)
{
    const std::size_t length = Cut16(name);
    PutLength16(at, length);
    std::memcpy(at + 2, name, length);
    return static_cast<int>(2 + length);
}

int AMF0_PutNumber(uint8_t* at, double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    at[0] = kAmf0Number;
    for (int i = 0; i < 8; ++i) at[1 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    return 9;
}

int AMF0_PutNull(uint8_t* at)
{
    at[0] = kAmf0Null;
    return 1;
}

int AMF0_PutBooleanProperty(uint8_t* at, const char* name, int value)
{
    const int written = AMF0_PutName(at, name);
    at[written] = kAmf0Boolean;
    at[written + 1] = value == 1 ? 1 : 0;
    return written + 2;
}

double AMF0_GetNumber(const uint8_t* at)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | at[i];
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Copies up to `length` bytes and a terminator into out, cut to out_size.
static void CopyOut(uint8_t* out, std::size_t out_size, const uint8_t* from, std::size_t length)
{
    if (out_size == 0) return;
    const std::size_t kept = length < out_size ? length : out_size - 1;
    std::memcpy(out, from, kept);
    out[kept] = 0;
}

// The string whose 16-bit length starts at `at`: its bytes occupied (2 + n), or -1 past end.
static int CopyString(const uint8_t* at, const uint8_t* end, uint8_t* out, std::size_t out_size)
{
    if (end - at < 2) return -1;
    const std::size_t length = (static_cast<std::size_t>(at[0]) << 8) | at[1];
    if (static_cast<std::size_t>(end - at - 2) < length) return -1;
    CopyOut(out, out_size, at + 2, length);
    return static_cast<int>(2 + length);
}

int AMF0_GetValue(const uint8_t* at, const uint8_t* end, uint8_t* out, std::size_t out_size)
{
    if (at >= end) return -1;
    switch (at[0]) {
    case kAmf0Number:
        if (end - at < 9) return -1;
        CopyOut(out, out_size, at + 1, 8);
        return 9;
    case kAmf0Boolean:
        if (end - at < 2) return -1;
        CopyOut(out, out_size, at + 1, 1);
        return 2;
    case kAmf0String: {
        const int used = CopyString(at + 1, end, out, out_size);
        return used < 0 ? -1 : 1 + used;
    }
    case kAmf0Object: return 0;
    case kAmf0ObjectEnd: CopyOut(out, out_size, at, 1); return 1;
    case kAmf0Null:
    case kAmf0Undefined:
    case 0xC3: return 1;
    default: return -1;
    }
}

int AMF0_FindProperty(const uint8_t* at, const uint8_t* end, const char* name, uint8_t* out, std::size_t out_size,
                      int limit)
{
    const std::size_t name_length = std::strlen(name);
    for (int i = 0; i < limit && at + i < end; ++i) {
        const uint8_t* match = at + i;
        if (static_cast<std::size_t>(end - match) <= name_length) return 0;   // no room for name and marker
        if (std::memcmp(match, name, name_length) != 0) continue;
        const uint8_t* value = match + name_length;
        if (value[0] == kAmf0String) return CopyString(value + 1, end, out, out_size) < 0 ? 0 : 2;
        if (value[0] == kAmf0Number) {
            if (end - value < 9) return 0;
            CopyOut(out, out_size, value + 1, 8);
            return 1;
        }
        return 0;
    }
    return 0;
}
