#include "ingest/guide_reader.h"

#include "channels/guide.h"
#include "channels/source_table.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "ingest/real_buffer.h"
#include "media/eit.h"
#include "media/ts_packet.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <vector>

std::atomic<int32_t> g_guide_reader_stop{0};

namespace {

// How often the rings are read, how many slots of a ring one pass reads at most, and how far
// behind its writer a reader may fall before it skips ahead (the tables come again).
constexpr uint32_t kPassMs = 100;
constexpr int32_t  kSlotsPerPass = 400;
constexpr int32_t  kMostBehind = 800;

// One ring's reader.
struct RingScan {
    std::shared_ptr<RealBuffer> buffer;
    int32_t                     next = 0;
    uint16_t                    first_program = 0;   // of the stream's PAT; 0 before one came
    std::vector<EitEvent>       events;
    std::unique_ptr<EitReader>  eit;
};

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// Whether two names are the same but for the case of their ASCII letters.
bool SameLetters(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// The channel (0-based) of the ring at index `ring` that an event of `service` belongs to; -1
// for none, kNotYet while the stream's programs are not known yet (no PAT read, or a multiplex
// whose tables the parser has not read).
constexpr int kNotYet = -2;
int ChannelOfEvent(const ChannelTable& table, int ring, const RingScan& scan, uint16_t service)
{
    const ChannelRecord& channel = *table.channels[static_cast<std::size_t>(ring)];
    if (ChannelTraits(channel).layout != RingLayout::kDvbProgram)
        return scan.first_program == 0 ? kNotYet : scan.first_program == service ? ring : -1;
    bool all_named = true;
    for (int i = ring; i < table.Count(); ++i) {
        const SourceRecord* source = table.channels[static_cast<std::size_t>(i)]->FirstSource();
        if (source == nullptr || (i != ring && (source->dvb_sub == 0 || source->dvb_parent != ring))) break;
        const uint16_t program = source->program_number.load();
        if (program == service) return i;
        all_named = all_named && program != 0;
    }
    return all_named ? -1 : kNotYet;
}

std::unique_ptr<EitReader> NewEitReader(RingScan& scan)
{
    return std::make_unique<EitReader>([events = &scan.events](const EitEvent& event) { events->push_back(event); });
}

// The first program number of a PAT packet, or 0.
uint16_t FirstProgramOfPat(const uint8_t* packet)
{
    TsPacketHeader header;
    if (parse_ts_header(packet, header) != 0 || !header.payload_unit_start_indicator) return 0;
    int at = 4;
    if (packet[3] & 0x20) at += 1 + packet[4];
    if (at >= kTsPacketSize) return 0;
    at += 1 + packet[at];                                      // pointer field
    if (at + 8 > kTsPacketSize || packet[at] != 0x00) return 0;
    const int length = ((packet[at + 1] & 0x0F) << 8) | packet[at + 2];
    for (int entry = at + 8; entry + 4 <= at + 3 + length - 4 && entry + 4 <= kTsPacketSize; entry += 4) {
        const uint16_t program = static_cast<uint16_t>((packet[entry] << 8) | packet[entry + 1]);
        if (program != 0) return program;
    }
    return 0;
}

// Reads what the ring's writer wrote since the last pass.
void ReadRing(RingScan& scan, ChannelRecord& channel)
{
    const int32_t input = channel.input_index.load(std::memory_order_acquire);
    if ((input - scan.next + kRingSlots) % kRingSlots > kMostBehind) scan.next = (input + kRingSlots - 100) % kRingSlots;
    uint8_t packet[kTsPacketSize];
    for (int32_t count = 0; scan.next != input && count < kSlotsPerPass; ++count) {
        const RealBufferSlot& slot = scan.buffer->slots[scan.next];
        const int32_t length = slot.length.load(std::memory_order_acquire);
        const int skip = length == kRtpSlotSize ? kRtpHeaderSize : 0;
        for (int at = skip; at + kTsPacketSize <= length; at += kTsPacketSize) {
            const uint8_t* data = slot.data + at;
            if (data[0] != kTsSyncByte) break;
            const uint16_t pid = static_cast<uint16_t>(((data[1] & 0x1F) << 8) | data[2]);
            if (pid != 0x12 && pid != 0) continue;
            std::memcpy(packet, data, kTsPacketSize);       // the writer may come round meanwhile
            if (pid == 0) {
                const uint16_t program = FirstProgramOfPat(packet);
                if (program != 0) scan.first_program = program;
            } else {
                scan.eit->Packet(packet);
            }
        }
        scan.next = (scan.next + 1) % kRingSlots;
    }
    release_read_slots(channel);
}

// One pass over every ring of the table.
void ReadRings(const ChannelTable& table, std::map<int, RingScan>& scans)
{
    const int64_t now = Now();
    for (int i = 0; i < table.Count(); ++i) {
        ChannelRecord& channel = *table.channels[static_cast<std::size_t>(i)];
        std::shared_ptr<RealBuffer> buffer = channel.Buffer();
        if (buffer == nullptr) {
            scans.erase(i);
            continue;
        }
        RingScan& scan = scans[i];
        if (scan.buffer != buffer) {                          // a new ring: start at its writer
            scan = RingScan{};
            scan.buffer = buffer;
            scan.next = channel.input_index.load();
            scan.eit = NewEitReader(scan);
        }
        ReadRing(scan, channel);
        bool early = false;
        for (const EitEvent& event : scan.events) {
            const int owner = ChannelOfEvent(table, i, scan, event.service_id);
            early = early || owner == kNotYet;
            if (owner < 0 || event.duration <= 0) continue;
            g_guide.AddAnnounced(owner + 1, GuideProgramme{event.start, event.start + event.duration, event.title, event.description},
                                 now);
        }
        scan.events.clear();
        // Events that came before their programs were known: the reader forgets the sections
        // it has seen, so that it hands them on again when they are repeated.
        if (early) scan.eit = NewEitReader(scan);
    }
}

// The operator's files as last read.
struct GuideFile {
    int64_t     size = 0;
    int64_t     modified = 0;
    XmltvGuide  guide;
};

// Reads the files of the folder that are new or changed; true when anything changed.
bool ReadFiles(std::map<std::string, GuideFile>& files)
{
    std::vector<DirEntry> entries;
    ListDirectory(kGuideFolder, entries);
    bool changed = false;
    std::map<std::string, GuideFile> seen;
    for (const DirEntry& entry : entries) {
        if (!entry.is_file || entry.name.size() < 5 || entry.name.compare(entry.name.size() - 4, 4, ".xml") != 0) continue;
        const std::string path = std::string(kGuideFolder) + "/" + entry.name;
        struct stat info{};
        if (stat(path.c_str(), &info) != 0) continue;
        const auto known = files.find(entry.name);
        if (known != files.end() && known->second.size == info.st_size && known->second.modified == info.st_mtime) {
            seen[entry.name] = std::move(known->second);
            continue;
        }
        GuideFile file;
        file.size = info.st_size;
        file.modified = info.st_mtime;
        std::string text, error;
        if (info.st_size > kGuideFileMaxBytes) {
            LogSystemMessage("EPG: [%s] is larger than %d MB: not read\n", path.c_str(), static_cast<int>(kGuideFileMaxBytes >> 20));
        } else if (ReadWholeFile(path.c_str(), text) != 1 || !ReadXmltv(text, file.guide, error)) {
            LogSystemMessage("EPG: [%s] is not an XMLTV guide (%s): the guide read before is kept\n", path.c_str(),
                             error.empty() ? "unreadable" : error.c_str());
            if (known != files.end()) file.guide = std::move(known->second.guide);
        } else {
            LogSystemMessage("EPG: [%s] read: %zu channels, %zu programmes\n", path.c_str(), file.guide.channels.size(),
                             file.guide.programmes.size());
        }
        seen[entry.name] = std::move(file);
        changed = true;
    }
    changed = changed || seen.size() != files.size();
    files = std::move(seen);
    return changed;
}

// The files' programmes by channel number, for the guide.
void PublishFiles(const ChannelTable& table, const std::map<std::string, GuideFile>& files)
{
    std::map<int, std::vector<GuideProgramme>> by_channel;
    for (const auto& [name, file] : files) {
        std::map<std::string_view, int> numbers;
        for (const XmltvChannel& channel : file.guide.channels) numbers[channel.id] = ChannelOfXmltvChannel(table, channel);
        for (const XmltvProgramme& programme : file.guide.programmes) {
            auto number = numbers.find(programme.channel);
            int channel = number != numbers.end() ? number->second : ChannelOfXmltvChannel(table, XmltvChannel{programme.channel, {}, {}});
            if (channel <= 0 || programme.stop <= programme.start) continue;
            by_channel[channel].push_back(GuideProgramme{programme.start, programme.stop, programme.title, programme.description});
        }
    }
    g_guide.SetFromFiles(std::move(by_channel), Now());
}

}  // namespace

int ChannelOfXmltvChannel(const ChannelTable& table, const XmltvChannel& channel)
{
    const auto named = [&](std::string_view name) {
        for (int i = 0; i < table.Count(); ++i)
            if (SameLetters(name, table.channels[static_cast<std::size_t>(i)]->name)) return i + 1;
        return 0;
    };
    for (int i = 0; i < table.Count(); ++i)
        if (channel.id == std::to_string(i + 1)) return i + 1;
    if (const int number = named(channel.id); number != 0) return number;
    for (const std::string& name : channel.names)
        if (const int number = named(name); number != 0) return number;
    return 0;
}

int32_t GuideReaderThread(void* /*unused*/)
{
    LogSystemMessage("Guide Reader Starting\n");
    std::map<int, RingScan> scans;
    std::map<std::string, GuideFile> files;
    std::shared_ptr<ChannelTable> published_for;
    uint64_t files_read_ms = 0;
    bool first = true;
    while (!ProcessStopRaised() && g_guide_reader_stop.load() == 0) {
        const std::shared_ptr<ChannelTable> table = CurrentChannels();
        if (table != nullptr) {
            ReadRings(*table, scans);
            const uint64_t now_ms = GetTickMs();
            if (first || now_ms - files_read_ms >= static_cast<uint64_t>(g_config.epg_poll_seconds) * 1000) {
                if (ReadFiles(files) || table != published_for) {
                    PublishFiles(*table, files);
                    published_for = table;
                }
                files_read_ms = now_ms;
                first = false;
            } else if (table != published_for) {
                PublishFiles(*table, files);                   // the channels changed: map again
                published_for = table;
            }
        }
        SleepUnlessStopping(kPassMs);
    }
    LogSystemMessage("Guide Reader Closed\n");
    return 0;
}
