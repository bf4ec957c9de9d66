#include "core/text.h"

std::size_t CopyTextN(char* dst, std::size_t size, std::string_view src)
{
    if (dst == nullptr || size == 0) return 0;
    const std::size_t kept = src.size() < size ? src.size() : size - 1;
    if (kept > 0) std::memcpy(dst, src.data(), kept);
    dst[kept] = '\0';
    return kept;
}
