#include "channels/channel_editing.h"

#include "channels/channel_table.h"
#include "core/config.h"
#include "core/file_replace.h"
#include "core/log.h"
#include "core/text.h"
#include "users/channel_packages.h"

#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr const char*      kDefinitionFile   = "channel_definition.xml";
constexpr const char*      kDefinitionTemp   = "channel_definition_temp.xml";
constexpr const char*      kDefinitionBackup = "channel_definition_backup.xml";
constexpr std::string_view kXmlHead          = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

// The sources the editor shows; any other scheme is listed with an empty src.
constexpr std::string_view kListedSchemes[] = {"dir://", "rtp://", "udp://", "http://", "rtmp://", "rtsp://"};

// One "<ch" ... "</ch>" element of the file. Edits write an untouched element back from its
// text, so nothing the fields cannot hold (an unknown scheme, a missing src=) is lost.
struct ChannelDefinition {
    std::string_view element;                     // from "<ch" to "</ch>" inclusive
    bool             has_src = false;             // "src=" with a closing quote
    char             name[kChannelNameSize] = "";
    char             src[kChannelSrcSize] = "";   // empty for schemes outside kListedSchemes
    char             img[kChannelImgSize] = "";
    char             rec_folder[kRecFolderSize] = "";
    std::vector<std::string> backups;
    std::string      merge;
    bool             on_demand = false;
};

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// A value cut to its field (size includes the terminator).
std::string_view Cut(std::string_view value, std::size_t size) { return value.substr(0, size - 1); }

std::string_view TextOf(const char* value) { return value != nullptr ? std::string_view(value) : std::string_view(); }

// 1 read, 0 missing, -1 empty, -2 present but unreadable.
int ReadDefinitionText(std::string& text)
{
    const int read = ReadWholeFile(kDefinitionFile, text);
    if (read == 1) return 1;
    struct stat info{};
    if (stat(kDefinitionFile, &info) != 0) return 0;
    return read == -1 && info.st_size == 0 ? -1 : -2;
}

// The elements of the file in file order, as the loader counts them.
std::vector<ChannelDefinition> ParseDefinitions(std::string_view text)
{
    std::vector<ChannelDefinition> list;
    for (std::size_t at = 0; list.size() < static_cast<std::size_t>(kMaxChannels);) {
        const std::size_t open = text.find("<ch", at);
        if (open == std::string_view::npos) break;
        const std::size_t close = text.find("</ch>", open);
        if (close == std::string_view::npos) break;
        at = close + 5;
        ChannelDefinition& definition = list.emplace_back();
        definition.element = text.substr(open, at - open);
        const std::string_view inner = text.substr(open, close - open);
        const std::size_t name_start = inner.rfind('>');
        if (name_start != std::string_view::npos) CopyText(definition.name, inner.substr(name_start + 1));
        bool found = false;
        // The attributes: a URL in one of them may hold another's name.
        const std::string_view head = inner.substr(0, name_start == std::string_view::npos ? inner.size() : name_start);
        const std::string_view src = ElementAttribute(head, "src", found);
        definition.has_src = found;
        for (std::string_view scheme : kListedSchemes)
            if (found && StartsWith(src, scheme)) CopyText(definition.src, src);
        CopyText(definition.img, ElementAttribute(head, "img", found));
        CopyText(definition.rec_folder, ElementAttribute(head, "rec_folder", found));
        definition.backups   = SplitBackupSources(ElementAttribute(head, "backup", found));
        definition.merge     = std::string(Cut(ElementAttribute(head, "merge", found), kChannelSrcSize));
        definition.on_demand = ElementAttribute(head, "ondemand", found) == "1";
    }
    return list;
}

// The definitions of the current file; text keeps the file the elements point into.
std::vector<ChannelDefinition> ReadDefinitions(std::string& text)
{
    if (ReadDefinitionText(text) != 1) return {};
    NormaliseLineEnd(text);
    return ParseDefinitions(text);
}

// A value would break the element it is written into.
bool Acceptable(const char* field, std::string_view value)
{
    if (value.find_first_of("\"<>\r\n") == std::string_view::npos) return true;
    LogSystemMessage("Channel definition refused: its %s holds a '\"', '<', '>' or a line break\n", field);
    return false;
}

bool AcceptableValues(std::string_view name, std::string_view src, std::string_view rec_folder,
                      const ChannelExtras& extras = {})
{
    return Acceptable("name", name) && Acceptable("src", src) && Acceptable("rec_folder", rec_folder) &&
           Acceptable("backup", TextOf(extras.backup)) && Acceptable("merge", TextOf(extras.merge));
}

// The extra attributes of an edited channel: each one given replaces what the channel had.
void ApplyExtras(const ChannelExtras& extras, ChannelDefinition& definition)
{
    if (extras.backup != nullptr) definition.backups = SplitBackupSources(extras.backup);
    if (extras.merge != nullptr) definition.merge = std::string(Cut(extras.merge, kChannelSrcSize));
    if (extras.on_demand != nullptr) definition.on_demand = std::string_view(extras.on_demand) == "1";
}

// A channel line of the standard form; img is left out when empty.
std::string ChannelLine(std::string_view name, std::string_view src, std::string_view img, std::string_view rec_folder,
                        const ChannelDefinition& extras)
{
    std::string line = "<ch src=\"";
    line.append(src).append("\"");
    if (!img.empty()) line.append(" img=\"").append(img).append("\"");
    if (!rec_folder.empty()) line.append(" rec_folder=\"").append(rec_folder).append("\"");
    line += ExtraChannelAttributes(extras.backups, extras.merge, extras.on_demand);
    if (name.empty()) return line + "></ch>\r\n";
    return line.append(">").append(name).append("</ch>\r\n");
}

// The channel index of a channel number (decimal, from 1) among count channels; -1 for
// anything else.
int ChannelIndex(const char* number, std::size_t count)
{
    const std::string_view digits = TextOf(number);
    if (digits.empty()) return -1;
    std::size_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value > count) return -1;
    }
    return value == 0 ? -1 : static_cast<int>(value - 1);
}

// The file rewritten from its elements, element `replaced` (if any) by `line` and element
// `dropped` (if any) left out. 1, or 0 after logging failure_text.
int RewriteDefinitions(const std::vector<ChannelDefinition>& list, int replaced, std::string_view line, int dropped,
                       const char* failure_text)
{
    std::string content(kXmlHead);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const int index = static_cast<int>(i);
        if (index == dropped) continue;
        if (index == replaced) content.append(line);
        else content.append(list[i].element).append("\r\n");
    }
    if (ReplaceFileSafely(kDefinitionFile, kDefinitionTemp, kDefinitionBackup, content) == 0) {
        LogSystemMessage("%s", failure_text);
        return 0;
    }
    return 1;
}

}  // namespace

uint16_t CountChannelDefinitions()
{
    ScopedLock held(g_channel_file_lock);
    std::string text;
    return static_cast<uint16_t>(ReadDefinitions(text).size());
}

std::size_t ListChannelDefinitionText(std::string_view text, std::string& out, bool with_credentials,
                                      const std::function<bool(int)>& watchable)
{
    const std::vector<ChannelDefinition> list = ParseDefinitions(text);
    const std::size_t before = out.size();
    for (std::size_t i = 0; i < list.size(); ++i) {
        const ChannelDefinition& definition = list[i];
        out.append("CH=").append(std::to_string(i + 1)).append("\r\nname=").append(definition.name);
        const std::string_view src = definition.has_src ? definition.src : "";
        out.append("\r\nsrc=").append(with_credentials ? std::string(src) : MaskSourceCredentials(src));
        out.append("\r\nrec_folder=").append(definition.has_src ? definition.rec_folder : "").append("\r\n");
        if (!definition.backups.empty()) {
            out.append("backup=");
            for (std::size_t k = 0; k < definition.backups.size(); ++k)
                out.append(k == 0 ? "" : " ").append(with_credentials ? definition.backups[k] : MaskSourceCredentials(definition.backups[k]));
            out.append("\r\n");
        }
        if (!definition.merge.empty())
            out.append("merge=").append(with_credentials ? definition.merge : MaskSourceCredentials(definition.merge)).append("\r\n");
        if (definition.on_demand) out.append("ondemand=1\r\n");
        if (watchable) out.append(watchable(static_cast<int>(i + 1)) ? "watch=1\r\n" : "watch=0\r\n");
    }
    return out.size() - before;
}

std::size_t ListChannelDefinitions(std::string& out, bool with_credentials, const std::function<bool(int)>& watchable)
{
    std::string text;
    {
        ScopedLock held(g_channel_file_lock);
        if (ReadDefinitionText(text) != 1) return 0;
    }
    NormaliseLineEnd(text);
    return ListChannelDefinitionText(text, out, with_credentials, watchable);
}

int AddChannelDefinition(const char* name_text, const char* src_text, const char* rec_folder_text,
                         const ChannelExtras& extras)
{
    if (!AcceptableValues(TextOf(name_text), TextOf(src_text), TextOf(rec_folder_text), extras)) return 0;
    const std::string_view name       = Cut(TextOf(name_text), kChannelNameSize);
    const std::string_view src        = Cut(TextOf(src_text), kChannelSrcSize);
    const std::string_view rec_folder = Cut(TextOf(rec_folder_text), kRecFolderSize);

    ScopedLock held(g_channel_file_lock);
    std::string content;
    const int read = ReadDefinitionText(content);
    if (read == -2) {
        LogSystemMessage("Open channel_definition.xml File Failed");
        return 0;
    }
    // A new file needs its first line, or the loader takes it for the old format. An existing
    // file is kept as it is.
    if (read != 1) content.assign(kXmlHead);
    else if (content.back() != '\n') content.append("\r\n");
    ChannelDefinition added;
    ApplyExtras(extras, added);
    const std::string line = ChannelLine(name, src, {}, rec_folder, added);
    LogSystemMessage("szBuffer=%s\n", line.c_str());
    content.append(line);
    if (ReplaceFileSafely(kDefinitionFile, kDefinitionTemp, kDefinitionBackup, content) == 0) {
        LogSystemMessage(" Channel_Definition_FileName_temp file Failed");
        return 0;
    }
    LogSystemMessage("System Message: Add Channel [%s] src=[%s] sucessfully\n", std::string(name).c_str(),
                     std::string(src).c_str());
    return 1;
}

int UpdateChannelDefinition(const char* number, const char* name_text, const char* src_text, const char* rec_folder_text,
                            const ChannelExtras& extras)
{
    if (!AcceptableValues(TextOf(name_text), TextOf(src_text), TextOf(rec_folder_text), extras)) return 0;
    ScopedLock held(g_channel_file_lock);
    std::string text;
    const std::vector<ChannelDefinition> list = ReadDefinitions(text);
    if (list.empty()) return 0;
    const int index = ChannelIndex(number, list.size());
    if (index < 0) {
        LogSystemMessage("Update channel: the number is not one of the %d channels of channel_definition.xml\n",
                         static_cast<int>(list.size()));
        return 0;
    }
    // The update carries no picture, and the extra attributes only when given: the channel
    // keeps what it had.
    ChannelDefinition kept = list[static_cast<std::size_t>(index)];
    ApplyExtras(extras, kept);
    const std::string line = ChannelLine(Cut(TextOf(name_text), kChannelNameSize), Cut(TextOf(src_text), kChannelSrcSize),
                                         kept.img, Cut(TextOf(rec_folder_text), kRecFolderSize), kept);
    return RewriteDefinitions(list, index, line, -1, " Channel_Definition_FileName_temp file Failed");
}

int DeleteChannelDefinition(const char* number)
{
    ScopedLock held(g_channel_file_lock);
    std::string text;
    const std::vector<ChannelDefinition> list = ReadDefinitions(text);
    if (list.empty()) return 0;
    // A number that names no channel deletes nothing; the file is still written back. The
    // packages follow the renumbering within the same edit.
    const int index = ChannelIndex(number, list.size());
    if (RewriteDefinitions(list, -1, {}, index, " Channel_Definition_FileName_temp Failed") != 1) return 0;
    if (index >= 0 && RenumberPackagesAfterChannelDelete(index + 1) == 0)
        LogSystemMessage("System Warning: channel [%d] was deleted but the packages could not be renumbered\n", index + 1);
    return 1;
}
