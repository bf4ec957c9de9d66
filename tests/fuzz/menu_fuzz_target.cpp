// Fuzz entry for the archive listing and the menu documents: file names as a folder could hold
// them and channel names as a definition file could give them. The first byte picks the
// recording duration, the second which deletions fail; then lines: a channel name, then names.

#include "channels/archive.h"
#include "channels/channel_table.h"
#include "channels/menu_documents.h"
#include "core/text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const int duration = static_cast<int>(data[0]) - 8;          // some below 1, most 1..247
    const uint8_t failing = data[1];
    std::vector<std::string> lines(1);
    for (size_t at = 2; at < size; ++at) {
        if (data[at] == '\n') lines.emplace_back();
        else lines.back().push_back(static_cast<char>(data[at]));
    }
    const std::string channel_name = lines.front();
    const std::vector<std::string> names(lines.begin() + 1, lines.end());

    std::size_t attempts = 0;
    std::size_t removed = 0;
    const std::string listing = ArchiveListingOf("archive", names, EscapeMarkup(channel_name), duration, [&](const std::string& path) {
        const std::string name = path.substr(8);
        if (path.compare(0, 8, "archive/") != 0 || !IsArchiveFileName(name)) __builtin_trap();   // only recordings go
        return ((failing >> (attempts++ % 8)) & 1) == 0 ? (++removed, true) : false;
    });
    if (Count(listing, "<frame title=") != Count(listing, "</frame>\r\n")) __builtin_trap();
    if (!listing.empty() && listing.compare(listing.size() - 2, 2, "\r\n") != 0) __builtin_trap();
    std::size_t recordings = 0;
    for (const std::string& name : names) recordings += IsArchiveFileName(name) ? 1 : 0;
    if (duration > 0 && recordings > 0 && Count(listing, "<icon ") == 0 && removed >= recordings) __builtin_trap();

    ChannelTable table;
    auto channel = std::make_unique<ChannelRecord>();
    CopyText(channel->name, channel_name);
    if (MenuFileNameAllowed(channel->name) && std::string(channel->name).find('/') != std::string::npos) __builtin_trap();
    table.channels.push_back(std::move(channel));
    const std::string document = MainMenuDocument(table, 8000);
    if (document.compare(document.size() - 8, 8, "</tml>\r\n") != 0) __builtin_trap();
    return 0;
}
