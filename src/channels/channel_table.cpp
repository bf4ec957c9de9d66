#include "channels/channel_table.h"

#include "core/config.h"
#include "core/file_replace.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/sockets.h"
#include "core/text.h"
#include "media/probe.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

CriticalSection g_channel_file_lock;

static std::mutex                    g_channel_table_lock;   // guards the pointer only
static std::shared_ptr<ChannelTable> g_channel_table = std::make_shared<ChannelTable>();

ChannelRecord::~ChannelRecord()
{
    CloseWakeEvent(commit_event.load());
}

std::shared_ptr<RealBuffer> ChannelRecord::Buffer() const
{
    std::lock_guard<std::mutex> held(buffer_mutex_);
    return real_buffer_;
}

void ChannelRecord::SetBuffer(std::shared_ptr<RealBuffer> buffer)
{
    std::lock_guard<std::mutex> held(buffer_mutex_);
    real_buffer_.swap(buffer);
}

std::shared_ptr<ChannelTable> CurrentChannels()
{
    std::lock_guard<std::mutex> held(g_channel_table_lock);
    return g_channel_table;
}

static void PublishChannels(std::shared_ptr<ChannelTable> table)
{
    std::lock_guard<std::mutex> held(g_channel_table_lock);
    g_channel_table.swap(table);
}

void FreeChannelTable()
{
    PublishChannels(std::make_shared<ChannelTable>());
}

int32_t ChannelCount()
{
    return CurrentChannels()->Count();
}

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

int32_t NumberOf(std::string_view text)
{
    char digits[24];
    CopyText(digits, text);
    return static_cast<int32_t>(std::atoi(digits));
}

int DvbCount(std::string_view line)
{
    const std::size_t comma = line.find(',');
    return comma == std::string_view::npos ? 0 : NumberOf(line.substr(comma + 1));
}

// Where a channel's host may be looked up.
enum class LookUp { kNever, kWithPort, kAlways };

struct PullScheme {
    const char* prefix;
    int32_t     kind;
    int32_t     default_port;
    bool        credentials;
    LookUp      look_up;
};

// Fills host, port, credentials and path of a pull source from the text after the scheme.
// False when a name look-up failed.
bool ParsePullSource(std::string_view rest, const PullScheme& scheme, SourceRecord& source)
{
    // Credentials and port belong to the part before the path: a ":" or "@" in the path is
    // part of the path. The host follows the last "@", so a password may hold one.
    if (scheme.credentials) {
        const std::size_t at = rest.substr(0, rest.find('/')).rfind('@');
        if (at != std::string_view::npos) {
            CopyText(source.credentials, rest.substr(0, at));
            rest.remove_prefix(at + 1);
        }
    }
    source.file.bitrate_kbps = 1024;
    const std::size_t colon = rest.substr(0, rest.find('/')).find(':');
    std::string_view host;
    bool look_up = scheme.look_up == LookUp::kAlways;
    if (colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        std::string_view after = rest.substr(colon + 1);
        const std::size_t slash = after.find('/');
        source.port = NumberOf(after.substr(0, slash));
        if (slash != std::string_view::npos) CopyText(source.file.path, after.substr(slash + 1));
        look_up = look_up || scheme.look_up == LookUp::kWithPort;
    } else {
        const std::size_t slash = rest.find('/');
        host = rest.substr(0, slash);
        source.port = scheme.default_port;
        if (slash != std::string_view::npos) CopyText(source.file.path, rest.substr(slash + 1));
    }
    CopyText(source.host, host);
    if (!look_up) return true;
    uint8_t address[4];
    if (ResolveHostName(address, source.host) == 0) {
        LogSystemMessage("network error [%d]\n", errno);
        LogSystemMessage("Can not connect to %s\n", source.host);
        source.port = 0;
        return false;
    }
    FormatText(source.host, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return true;
}

// "rtp://", "udp://" and "dvb://": an optional host before ":" and the port. An empty host
// ("udp://:5000") is no host.
void ParseDatagramSource(std::string_view rest, int32_t kind_with_host, int32_t kind_without, SourceRecord& source)
{
    source.file.bitrate_kbps = 1024;
    const std::size_t colon = rest.find(':');
    if (colon != std::string_view::npos && colon > 0) {
        CopyText(source.host, rest.substr(0, colon));
        source.port = NumberOf(rest.substr(colon + 1));
        source.kind = kind_with_host;
    } else {
        source.port = NumberOf(colon != std::string_view::npos ? rest.substr(colon + 1) : rest);
        source.kind = kind_without;
    }
}

std::unique_ptr<SourceRecord> NewSource(int32_t kind)
{
    auto source  = std::make_unique<SourceRecord>();
    source->kind = kind;
    return source;
}

// An "rtp://" or "udp://" source becomes the channel's one source; false for other schemes.
bool AddDatagramSource(std::string_view value, ChannelRecord& channel)
{
    const bool rtp = StartsWith(value, "rtp://");
    if (!rtp && !StartsWith(value, "udp://")) return false;
    auto source = NewSource(0);
    if (rtp) ParseDatagramSource(value.substr(6), kSourceRtpGroup, kSourceRtpPort, *source);
    else ParseDatagramSource(value.substr(6), kSourceUdpGroup, kSourceUdpPort, *source);
    channel.sources.push_back(std::move(source));
    channel.program_count = 1;
    return true;
}

// Makes channel a further program of the multiplex whose first channel is parent_index.
void AddDvbProgram(ChannelRecord& channel, const SourceRecord& parent, int parent_index)
{
    auto source = NewSource(parent.kind);
    CopyText(source->host, parent.host);
    source->port              = parent.port;
    source->file.bitrate_kbps = parent.file.bitrate_kbps;
    source->dvb_parent        = parent_index;
    source->dvb_sub           = 1;
    channel.sources.push_back(std::move(source));
    channel.program_count = 1;
}

const PullScheme kXmlPull[] = {
    {"http://", kSourceHttp, 80, true, LookUp::kWithPort},
    {"rtmp://", kSourceRtmp, 1935, true, LookUp::kWithPort},
    {"rtsp://", kSourceRtsp, 554, true, LookUp::kWithPort},
};

const PullScheme kOldPull[] = {
    {"httpts://", kSourceHttp, 80, false, LookUp::kWithPort},
    {"http://", kSourceHttp, 80, true, LookUp::kWithPort},
    {"rtmp://", kSourceRtmp, 1935, false, LookUp::kAlways},
    {"rtspts://", kSourceRtspTs, 5544, false, LookUp::kNever},
    {"rtsp://", kSourceRtsp, 554, false, LookUp::kNever},
    {"mms://", kSourceRtsp, 554, false, LookUp::kNever},
};

void LogTotalTime(int index, const ChannelRecord& channel)
{
    LogSystemMessage("CH[%d] total time is [%" PRIu64 "]\n", index + 1, channel.total_duration);
}

// One source of channel_definition.xml.
void ParseXmlSource(std::string_view value, int index, ChannelRecord& channel)
{
    CopyText(channel.src, value);
    if (StartsWith(value, "dir://")) {
        const std::string folder(value.substr(6));
        channel.program_count = ScanVideoFolder(folder.c_str(), channel);
        LogTotalTime(index, channel);
        return;
    }
    if (AddDatagramSource(value, channel)) return;
    for (const PullScheme& scheme : kXmlPull) {
        if (!StartsWith(value, scheme.prefix)) continue;
        auto source = NewSource(scheme.kind);
        ParsePullSource(value.substr(std::strlen(scheme.prefix)), scheme, *source);
        channel.sources.push_back(std::move(source));
        channel.program_count = 1;
        return;
    }
    channel.program_count = 0;
}

void ReadExtraAttributes(std::string_view head, ChannelRecord& channel)
{
    bool found = false;
    channel.backups = SplitBackupSources(ElementAttribute(head, "backup", found));
    channel.merge   = std::string(ElementAttribute(head, "merge", found).substr(0, kChannelSrcSize - 1));
    channel.on_demand = ElementAttribute(head, "ondemand", found) == "1";
}

std::shared_ptr<ChannelTable> ParseXml(std::string_view text)
{
    int count = 0;
    for (std::size_t at = 0;;) {
        const std::size_t open = text.find("<ch", at);
        if (open == std::string_view::npos) break;
        const std::size_t close = text.find("</ch>", open);
        if (close == std::string_view::npos || count >= kMaxChannels) break;
        ++count;
        at = close + 5;
    }
    auto table = std::make_shared<ChannelTable>();
    for (int i = 0; i < count; ++i) table->channels.push_back(std::make_unique<ChannelRecord>());
    std::size_t at = 0;
    // A "dvb://host:port,N" multiplex (as the conversion of the old file writes it) makes the
    // N - 1 following elements its further programs, whatever they hold.
    int dvb_parent = -1;
    int dvb_left   = 0;
    for (int i = 0; i < count; ++i) {
        ChannelRecord& channel = *table->channels[static_cast<std::size_t>(i)];
        FormatText(channel.name, "[ch%d]", i + 1);
        const std::size_t open = text.find("<ch", at);
        if (open == std::string_view::npos) break;
        const std::size_t close = text.find("</ch>", open);
        if (close == std::string_view::npos) break;
        const std::string_view element = text.substr(open, close - open);
        at = close + 5;
        bool found = false;
        const std::size_t name_start = element.rfind('>');
        // The attributes: a URL in one of them may hold another's name.
        const std::string_view head = element.substr(0, name_start == std::string_view::npos ? element.size() : name_start);
        if (dvb_left > 0) {
            AddDvbProgram(channel, *table->channels[static_cast<std::size_t>(dvb_parent)]->FirstSource(), dvb_parent);
            // A further program has its own logo and recording folder; its src is not read.
            CopyText(channel.img, ElementAttribute(head, "img", found));
            CopyText(channel.rec_folder, ElementAttribute(head, "rec_folder", found));
            if (name_start != std::string_view::npos) CopyText(channel.name, element.substr(name_start + 1));
            --dvb_left;
            continue;
        }
        const std::size_t src = AttributeAt(head, "src");
        if (src == std::string_view::npos) break;       // this and every later channel unusable
        const std::size_t value_start = src + 5;
        const std::size_t quote = value_start <= element.size() ? element.find('"', value_start) : std::string_view::npos;
        if (quote != std::string_view::npos) {
            const std::string_view value = element.substr(value_start, quote - value_start);
            if (StartsWith(value, "dvb://")) {
                const int programs = DvbCount(value);
                CopyText(channel.src, value);
                if (programs > 0) {
                    std::string_view address = value.substr(6);
                    address = address.substr(0, address.find(','));
                    auto source = NewSource(0);
                    ParseDatagramSource(address, kSourceDvbGroup, kSourceDvbPort, *source);
                    channel.sources.push_back(std::move(source));
                    channel.program_count = 1;
                    dvb_parent = i;
                    dvb_left   = programs - 1;
                }
            } else {
                ParseXmlSource(value, i, channel);
            }
        }
        CopyText(channel.img, ElementAttribute(head, "img", found));
        CopyText(channel.rec_folder, ElementAttribute(head, "rec_folder", found));
        ReadExtraAttributes(head, channel);
        if (name_start != std::string_view::npos) CopyText(channel.name, element.substr(name_start + 1));
    }
    return table;
}

// The lines of the old file: header positions and their source lines.
struct OldChannel {
    std::string_view source;
};

std::vector<OldChannel> OldChannels(std::string_view text)
{
    std::vector<OldChannel> list;
    for (std::size_t at = 0;;) {
        const std::size_t header = text.find("[ch", at);
        if (header == std::string_view::npos) break;
        const std::size_t bracket = text.find(']', header);
        if (bracket == std::string_view::npos) break;
        const std::size_t line_end = text.find('\n', bracket);
        if (line_end == std::string_view::npos) break;
        const std::size_t source_start = line_end + 1;
        std::size_t source_end = text.find('\n', source_start);
        if (source_end == std::string_view::npos) source_end = text.size();
        std::string_view line = text.substr(source_start, source_end - source_start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        list.push_back({line});
        at = source_end;
    }
    return list;
}

// Parses the old format; null when a name look-up failed (the load is abandoned).
std::shared_ptr<ChannelTable> ParseOld(std::string_view text, bool& failed)
{
    failed = false;
    const std::vector<OldChannel> lines = OldChannels(text);
    // The channel count is 16 bits wide: a program count beyond that (a typing error such as
    // "dvb://h:p,2000000000") is cut there instead of allocating a record per number.
    int64_t wanted = 0;
    for (const OldChannel& line : lines) {
        if (StartsWith(line.source, "dvb://")) wanted += std::max(0, DvbCount(line.source));
        else wanted += 1;
        if (wanted > kMaxChannels) break;
    }
    if (wanted > kMaxChannels) LogSystemMessage("iptvepg.txt defines more than %d channels; the rest are left out\n", kMaxChannels);
    const int count = static_cast<int>(std::min<int64_t>(wanted, kMaxChannels));
    auto table = std::make_shared<ChannelTable>();
    if (count <= 0) return table;
    for (int i = 0; i < count; ++i) table->channels.push_back(std::make_unique<ChannelRecord>());

    int i = 0;
    for (const OldChannel& line : lines) {
        if (i >= count) break;
        ChannelRecord& channel = *table->channels[static_cast<std::size_t>(i)];
        FormatText(channel.name, "[ch%d]", i + 1);
        const std::string_view value = line.source;
        if (StartsWith(value, "dir://") || StartsWith(value, "dir4://")) {
            const bool dir4 = StartsWith(value, "dir4://");
            const std::string folder = std::string(g_config.videopath) + "/" + std::string(value.substr(dir4 ? 7 : 6));
            CopyText(channel.src, value);
            channel.program_count = ScanVideoFolder(folder.c_str(), channel);
            LogTotalTime(i, channel);
            if (!dir4) CopyText(channel.src, "dir://" + folder);
            ++i;
            continue;
        }
        CopyText(channel.src, value);
        if (AddDatagramSource(value, channel)) {
            ++i;
            continue;
        }
        if (StartsWith(value, "dvb://")) {
            const int programs = DvbCount(value);
            if (programs <= 0) continue;                    // defines no channel
            std::string_view address = value.substr(6);
            address = address.substr(0, address.find(','));
            auto first = NewSource(0);
            ParseDatagramSource(address, kSourceDvbGroup, kSourceDvbPort, *first);
            const SourceRecord& parent = *first;
            for (int k = 1; k < programs && i + k < count; ++k) {
                ChannelRecord& sub = *table->channels[static_cast<std::size_t>(i + k)];
                FormatText(sub.name, "[ch%d]", i + k + 1);
                AddDvbProgram(sub, parent, i);
            }
            channel.sources.push_back(std::move(first));
            channel.program_count = 1;
            i += programs;
            continue;
        }
        bool matched = false;
        for (const PullScheme& scheme : kOldPull) {
            if (!StartsWith(value, scheme.prefix)) continue;
            matched = true;
            auto source = NewSource(scheme.kind);
            const bool resolved = ParsePullSource(value.substr(std::strlen(scheme.prefix)), scheme, *source);
            channel.sources.push_back(std::move(source));
            channel.program_count = 1;
            if (!resolved) {
                failed = true;
                return nullptr;
            }
            break;
        }
        if (!matched) channel.program_count = 0;
        ++i;
    }
    return table;
}

}  // namespace

int ParseChannelSource(std::string_view src, ChannelRecord& channel)
{
    ParseXmlSource(src, 0, channel);
    return channel.program_count;
}

int ScanVideoFolder(const char* folder_text, ChannelRecord& channel)
{
    const char* folder = folder_text[0] != '\0' ? folder_text : ".";
    channel.total_duration = 0;
    channel.sources.clear();
    std::vector<DirEntry> entries;
    if (!ListDirectory(folder, entries)) {
        channel.sources.push_back(NewSource(kSourceBadFolder));
        return 0;
    }
    for (const DirEntry& entry : entries) {
        if (entry.is_directory || !entry.is_file) continue;
        auto source = NewSource(kSourceFile);
        const std::string path = std::string(folder) + "/" + entry.name;
        CopyText(source->file.path, path);
        source->file.size = entry.size;
        source->kind = path.find(".mp4") != std::string::npos ? kSourceMp4File : kSourceFile;
        channel.sources.push_back(std::move(source));
    }
    std::sort(channel.sources.begin(), channel.sources.end(),
              [](const auto& a, const auto& b) { return std::strcmp(a->file.path, b->file.path) < 0; });
    for (auto& source : channel.sources) {
        const int32_t kbps = probe_bitrate_kbps(source->file.path);
        source->file.bitrate_kbps = kbps;
        if (kbps == -1 || kbps == 0) {
            source->send_interval_us = 0;
            source->file.duration    = 0;
        } else {
            source->send_interval_us = 10528000 / kbps;
            source->file.duration    = source->file.size * 8 / (static_cast<int64_t>(kbps) * 1024);
            channel.total_duration += static_cast<uint64_t>(source->file.duration);
        }
        LogSystemMessage("VIdeo file[%s] bitrate=[%dK] size=[%" PRId64 "] sleeptime=[%ld]\n", source->file.path, kbps,
                         source->file.size, static_cast<long>(source->send_interval_us));
    }
    return static_cast<int>(channel.sources.size());
}

std::string MaskSourceCredentials(std::string_view src)
{
    const std::size_t scheme = src.find("://");
    if (scheme == std::string_view::npos) return std::string(src);
    const std::size_t host_part = scheme + 3;
    // Up to the last "@" before the path, so that a password holding "@" is hidden whole.
    const std::size_t at = src.substr(host_part, src.find('/', host_part) - host_part).rfind('@');
    if (at == std::string_view::npos) return std::string(src);
    std::string masked(src.substr(0, host_part));
    return masked.append("***").append(src.substr(host_part + at));
}

int ChannelNumberOf(const char* path)
{
    const char* ch = std::strstr(path, ".ch");
    if (ch == nullptr) return 1;
    const char* start = ch;
    while (start > path && start[-1] != '/') --start;
    int64_t number = 0;
    for (const char* at = start; at < ch && *at >= '0' && *at <= '9' && number <= INT32_MAX; ++at) number = number * 10 + (*at - '0');
    return number > INT32_MAX ? INT32_MAX : static_cast<int>(number);
}

std::vector<std::string> SplitBackupSources(std::string_view text)
{
    std::vector<std::string> list;
    std::size_t at = 0;
    while (list.size() < static_cast<std::size_t>(kMaxBackupSources)) {
        at = text.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) break;
        std::size_t end = text.find_first_of(" \t", at);
        if (end == std::string_view::npos) end = text.size();
        list.emplace_back(text.substr(at, std::min(end - at, kChannelSrcSize - 1)));
        at = end;
    }
    return list;
}

std::string ExtraChannelAttributes(const std::vector<std::string>& backups, std::string_view merge, bool on_demand)
{
    std::string text;
    if (!backups.empty()) {
        text += " backup=\"";
        for (std::size_t i = 0; i < backups.size(); ++i) text.append(i == 0 ? "" : " ").append(backups[i]);
        text += "\"";
    }
    if (!merge.empty()) text.append(" merge=\"").append(merge).append("\"");
    if (on_demand) text += " ondemand=\"1\"";
    return text;
}

std::size_t AttributeAt(std::string_view element, std::string_view name)
{
    for (std::size_t at = element.find(name); at != std::string_view::npos; at = element.find(name, at + 1)) {
        const char before = at == 0 ? '\0' : element[at - 1];
        if ((before == ' ' || before == '\t' || before == '\n' || before == '\r') && element.substr(at + name.size(), 2) == "=\"")
            return at;
    }
    return std::string_view::npos;
}

std::string_view ElementAttribute(std::string_view element, std::string_view name, bool& found)
{
    found = false;
    const std::size_t at = AttributeAt(element, name);
    if (at == std::string_view::npos) return {};
    const std::size_t value = at + name.size() + 2;
    const std::size_t end = element.find('"', value);
    if (end == std::string_view::npos) return {};
    found = true;
    return element.substr(value, end - value);
}

int WriteChannelDefinitionFile(const ChannelTable& table)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
    for (const auto& channel : table.channels) {
        text += "<ch ";
        if (channel->src[0] != '\0') text += std::string("src=\"") + channel->src + "\"";
        if (channel->img[0] != '\0') text += std::string(" img=\"") + channel->img + "\"";
        if (channel->rec_folder[0] != '\0') text += std::string(" rec_folder=\"") + channel->rec_folder + "\"";
        text += ExtraChannelAttributes(channel->backups, channel->merge, channel->on_demand);
        text += channel->name[0] != '\0' ? std::string(">") + channel->name + "</ch>\r\n" : std::string("></ch>\r\n");
    }
    ScopedLock held(g_channel_file_lock);
    if (ReplaceFileSafely("channel_definition.xml", "channel_definition_temp.xml", "channel_definition_backup.xml", text) == 0) {
        LogSystemMessage(" Channel_Definition_FileName_temp file Failed");
        return 0;
    }
    return 1;
}

int LoadChannelTable(bool reload)
{
    (void)reload;                                  // the old table lives on while readers hold it
    std::string text;
    bool old_format = true;
    int read = ReadWholeFile("iptvepg.txt", text);
    if (read == 0) {
        old_format = false;
        read = ReadWholeFile("channel_definition.xml", text);
    }
    if (read != 1) {
        if (read == 0)
            LogSystemMessage("Neither channel_definition.xml nor iptvepg.txt is in the working directory: the channel list is needed to start\n");
        return 0;
    }
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text.append("\r\n");

    std::shared_ptr<ChannelTable> table;
    if (StartsWith(text, "<?xml")) {
        table = ParseXml(text);
    } else {
        bool failed = false;
        table = ParseOld(text, failed);
        if (failed || table == nullptr || table->channels.empty()) return 0;
        // The old file is kept when its conversion could not be written: the next load
        // converts it again instead of using a stale definition file.
        const bool converted = WriteChannelDefinitionFile(*table) == 1;
        if (old_format && converted && std::rename("iptvepg.txt", "iptvepg_old.txt") != 0)
            LogSystemMessage("rename %s to %s error\n", "iptvepg.txt", "iptvepg_old.txt");
    }
    table->load_tick = GetTickMs();
    const int count = table->Count();
    PublishChannels(std::move(table));
    LogSystemMessage("There are %d active channels...\n", count);
    return 1;
}
