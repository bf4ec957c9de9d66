// Fuzz entry for the package files: the bytes up to the first zero are the package file, the
// rest the user file; then every package is written back and each user asked about a few
// channels. Whatever the files hold, reading them must stay in its bounds and finish.

#include "users/channel_packages.h"

#include <cstdint>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto* text = reinterpret_cast<const char*>(data);
    const void* zero = size == 0 ? nullptr : std::memchr(text, 0, size);   // no memchr of a null input
    const size_t split = zero == nullptr ? size : static_cast<size_t>(static_cast<const char*>(zero) - text);
    PackageTable table;
    ParseChannelPackages(std::string_view(text, split), table);
    if (split < size) ParseUserPackages(std::string_view(text + split + 1, size - split - 1), table);
    for (const ChannelPackage& package : table.packages) (void)PackageChannels(package);
    for (const auto& [user, packages] : table.user_packages) {
        for (int channel : {1, 2, 100, 1000000})
            (void)table.MayWatch(user, channel);
    }
    return 0;
}
