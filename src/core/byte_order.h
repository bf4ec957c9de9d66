#pragma once
// Big-endian fields of network and file formats (RTMP, MP4, ASF headers, ...), read from bytes
// the caller has checked are there, and four-character codes as the formats compare them.

#include <cstdint>

inline uint16_t ReadBe16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }
inline uint32_t ReadBe24(const uint8_t* at)
{
    return (static_cast<uint32_t>(at[0]) << 16) | (static_cast<uint32_t>(at[1]) << 8) | at[2];
}
inline uint32_t ReadBe32(const uint8_t* at) { return (static_cast<uint32_t>(at[0]) << 24) | ReadBe24(at + 1); }
inline uint64_t ReadBe64(const uint8_t* at) { return (static_cast<uint64_t>(ReadBe32(at)) << 32) | ReadBe32(at + 4); }

// "hvc1", "moov": the four characters as one big-endian number.
constexpr uint32_t FourCc(const char (&text)[5])
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(text[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(text[3]));
}
