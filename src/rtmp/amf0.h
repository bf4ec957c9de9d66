#pragma once
// AMF0 values as the RTMP pull client writes and reads them. Writers put a value at a
// position and return the bytes written (the caller has room for them: 3 + text length for a
// string, 9 for a number); readers never read at or past `end`, and copy into `out` at most
// out_size bytes, terminator included.

#include <cstddef>
#include <cstdint>

constexpr uint8_t kAmf0Number    = 0x00;
constexpr uint8_t kAmf0Boolean   = 0x01;
constexpr uint8_t kAmf0String    = 0x02;
constexpr uint8_t kAmf0Object    = 0x03;
constexpr uint8_t kAmf0Null      = 0x05;
constexpr uint8_t kAmf0Undefined = 0x06;
constexpr uint8_t kAmf0ObjectEnd = 0x09;

// 0x02, the length as 16 bits big-endian, the bytes: 3 + n (a text past 65535 bytes is cut).
int AMF0_PutString(uint8_t* at, const char* text);
// The length as 16 bits big-endian and the bytes (a property name): 2 + n.
int AMF0_PutName(uint8_t* at, const char* name);
// 0x00 and the double's 8 bytes, most significant first: 9.
int AMF0_PutNumber(uint8_t* at, double value);
// 0x05: 1.
int AMF0_PutNull(uint8_t* at);
// The name, 0x01 and 1 (value 1) or 0 (any other value): n + 4.
int AMF0_PutBooleanProperty(uint8_t* at, const char* name, int value);
// The 8 bytes at `at` read most significant first.
double AMF0_GetNumber(const uint8_t* at);

// The value at `at`: the bytes it occupies, or -1 for an unknown marker or a value that runs
// past end. Number: the 8 raw bytes and a 0 into out, 9. Boolean: the byte and a 0, 2. String:
// the text and a 0, 3 + n. Object start: 0 (the caller walks the object). Object end: the
// marker and a 0, 1. Null, undefined and a chunk continuation byte 0xC3: 1. out holds at
// least 9 bytes; a longer string is cut to fit.
int AMF0_GetValue(const uint8_t* at, const uint8_t* end, uint8_t* out, std::size_t out_size);
// Looks for the bytes of name at `at` and each following position, at most limit positions.
// Followed by a string: the text and a 0 into out, 2. By a number: its 8 raw bytes into out,
// 1. Anything else, a value past end, or no match: 0.
int AMF0_FindProperty(const uint8_t* at, const uint8_t* end, const char* name, uint8_t* out, std::size_t out_size,
                      int limit);
