#pragma once
// Bounded text helpers: every fixed-size text field is filled through these, so a long
// value is cut to fit and the field is always terminated.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

// Copies as much of src as fits in a buffer known by pointer and size (size includes the
// terminator), always terminates; returns the length kept (below src.size() when cut).
std::size_t CopyTextN(char* dst, std::size_t size, std::string_view src);

// The same with the size taken from the array: CopyText(ch.name, text);
template <std::size_t N>
std::size_t CopyText(char (&dst)[N], std::string_view src)
{
    static_assert(N > 0, "a text field holds at least its terminator");
    return CopyTextN(dst, N, src);
}

// snprintf into a fixed array; returns the length kept (never more than N - 1).
template <std::size_t N>
__attribute__((format(printf, 2, 3))) std::size_t FormatText(char (&dst)[N], const char* format, ...)
{
    static_assert(N > 0, "a text field holds at least its terminator");
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(dst, N, format, args);
    va_end(args);
    if (wanted < 0) {
        dst[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(wanted) < N ? static_cast<std::size_t>(wanted) : N - 1;
}

// Length of a text field that may lack its terminator (reads at most N bytes).
template <std::size_t N>
std::size_t TextLength(const char (&text)[N])
{
    return strnlen(text, N);
}

// Appends one Unicode code point (below 0x110000) as UTF-8.
void AppendCodePoint(std::string& out, uint32_t code);

// printf into a string of whatever length the text needs.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
