#pragma once
// Base64 with the standard alphabet and "=" padding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// With line_feeds, a "\n" after every 72 characters and after a non-empty last line.
std::string base64_encode(const uint8_t* data, std::size_t length, bool line_feeds = true);
// Characters outside the alphabet are skipped; "=" counts as a zero. None when the counted
// characters are not a multiple of 4.
std::optional<std::vector<uint8_t>> base64_decode(const char* text, std::size_t length);
