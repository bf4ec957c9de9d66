#include "media/mp4_reader.h"

#include "core/byte_order.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string TagText(uint32_t tag)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

template <typename... Args>
std::string Format(const char* format, Args... args)
{
    char text[160];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// Fills bytes from offset on; false on an error or at the end of the file.
bool ReadAll(int fd, int64_t offset, std::vector<uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + int64_t(done)));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// A span of bytes: a box's body.
struct Span {
    const uint8_t* data = nullptr;
    std::size_t    size = 0;
};

// The child boxes of a body, one at a time. A child whose size does not fit ends the walk.
// Size 0 reaches to the end of the body, size 1 carries a 64-bit size.
class BoxWalker {
public:
    explicit BoxWalker(Span body) : at_(body.data), left_(body.data ? body.size : 0) {}
    bool Next(uint32_t& type, Span& body)
    {
        if (left_ < 8) return false;
        uint64_t size = ReadBe32(at_);
        std::size_t header = 8;
        type = ReadBe32(at_ + 4);
        if (size == 1) {
            if (left_ < 16) return false;
            size = ReadBe64(at_ + 8);
            header = 16;
        } else if (size == 0) {
            size = left_;
        }
        if (size < header || size > left_) return false;
        body = Span{at_ + header, static_cast<std::size_t>(size) - header};
        at_ += size;
        left_ -= static_cast<std::size_t>(size);
        return true;
    }

private:
    const uint8_t* at_;
    std::size_t    left_;
};

// The first child of the given type; an empty span when there is none.
Span Child(Span body, uint32_t wanted)
{
    BoxWalker walker(body);
    uint32_t type = 0;
    Span child;
    while (walker.Next(type, child))
        if (type == wanted) return child;
    return Span{};
}

Span Path(Span body, std::initializer_list<uint32_t> types)
{
    for (uint32_t type : types) {
        body = Child(body, type);
        if (body.data == nullptr) break;
    }
    return body;
}

// A full box's entries: the count at 4 after version and flags, entries from 8 on (from
// first_entry for stsz). Empty when the count does not fit the body.
bool Entries(Span box, std::size_t first_entry, std::size_t entry_size, uint32_t& count)
{
    if (box.size < first_entry) return false;
    count = ReadBe32(box.data + first_entry - 4);
    return uint64_t(count) * entry_size <= box.size - first_entry;
}

// ticks * 90000 / timescale, rounded down, kept within +-2^60 (thousands of centuries) so
// that the few sums made of such values never overflow.
int64_t To90k(__int128 ticks, uint32_t timescale)
{
    constexpr __int128 kLimit = __int128(1) << 60;
    __int128 scaled = ticks * 90000;
    __int128 result = scaled / timescale;
    if (scaled % timescale != 0 && scaled < 0) --result;
    return static_cast<int64_t>(std::clamp(result, -kLimit, kLimit));
}

}  // namespace

// One selected track: its sample tables as in the file (runs, not expanded per sample except
// the sizes and sync samples the file lists one by one) and where the reader stands in them.
struct Mp4Reader::Table {
    struct Run {
        uint32_t count;
        int32_t  value;                     // stts delta (as unsigned), ctts offset (signed)
    };
    struct ChunkRun {
        uint32_t first_chunk;               // 1-based
        uint32_t samples;
    };
    std::vector<Run>      stts, ctts;
    std::vector<ChunkRun> stsc;
    std::vector<uint64_t> chunk_offsets;
    std::vector<uint32_t> sizes;            // empty when every sample has constant_size
    uint32_t              constant_size = 0;
    std::vector<uint32_t> sync;             // 1-based sample numbers; empty with all_sync
    bool                  all_sync = true;
    uint32_t              sample_count = 0;
    uint32_t              timescale = 1;
    int64_t               media_start = 0;  // media ticks subtracted: where the first edit starts
    int64_t               dts_shift = 0;    // media ticks subtracted from decode times only
    int64_t               offset90k = 0;    // added after conversion (empty edit, file shift)

    struct Cursor {
        uint32_t sample = 0;
        uint32_t stts_run = 0, stts_used = 0;
        int64_t  dts = 0;                   // media ticks
        uint32_t ctts_run = 0, ctts_used = 0;
        uint32_t stsc_run = 0, chunk = 0, in_chunk = 0;
        uint64_t offset = 0;
        uint32_t sync_at = 0;               // first sync entry >= sample + 1
    } at;

    int64_t To90kLine(int64_t media_time) const { return To90k(__int128(media_time) - media_start, timescale) + offset90k; }
    int64_t Dts90k(int64_t media_dts) const { return To90kLine(media_dts - dts_shift); }
    uint32_t SizeOf(uint32_t sample) const { return sizes.empty() ? constant_size : sizes[sample]; }
    uint32_t ChunkRunEnd(uint32_t run) const
    {
        return run + 1 < stsc.size() ? stsc[run + 1].first_chunk - 1 : static_cast<uint32_t>(chunk_offsets.size());
    }
    int32_t CompositionOffset() const { return at.ctts_run < ctts.size() ? ctts[at.ctts_run].value : 0; }
    bool IsSync() const { return all_sync || (at.sync_at < sync.size() && sync[at.sync_at] == at.sample + 1); }
    void Advance();
    void PositionAt(uint32_t sample);
    uint32_t CountBefore(int64_t t90k, bool inclusive) const;
    int64_t EndMedia() const;
};

void Mp4Reader::Table::Advance()
{
    const uint32_t size = SizeOf(at.sample);
    ++at.sample;
    if (at.stts_run < stts.size()) {
        at.dts += static_cast<uint32_t>(stts[at.stts_run].value);
        if (++at.stts_used == stts[at.stts_run].count) ++at.stts_run, at.stts_used = 0;
    }
    if (at.ctts_run < ctts.size() && ++at.ctts_used == ctts[at.ctts_run].count) ++at.ctts_run, at.ctts_used = 0;
    while (at.sync_at < sync.size() && sync[at.sync_at] <= at.sample) ++at.sync_at;
    if (at.sample >= sample_count) return;
    at.offset += size;
    if (++at.in_chunk < stsc[at.stsc_run].samples) return;
    at.in_chunk = 0;
    ++at.chunk;
    if (at.stsc_run + 1 < stsc.size() && at.chunk + 1 == stsc[at.stsc_run + 1].first_chunk) ++at.stsc_run;
    at.offset = chunk_offsets[at.chunk];   // the tables were checked to hold every sample's chunk
}

// Puts the cursor on a sample by walking the runs; no per-sample work but within one chunk.
void Mp4Reader::Table::PositionAt(uint32_t sample)
{
    at = Cursor{};
    at.sample = sample;
    uint64_t base = 0;
    for (; at.stts_run < stts.size(); ++at.stts_run) {
        const uint32_t count = stts[at.stts_run].count;
        if (sample < base + count) break;
        base += count;
        at.dts += int64_t(count) * static_cast<uint32_t>(stts[at.stts_run].value);
    }
    at.stts_used = static_cast<uint32_t>(sample - base);
    at.dts += int64_t(at.stts_used) * (at.stts_run < stts.size() ? static_cast<uint32_t>(stts[at.stts_run].value) : 0);
    for (base = 0; at.ctts_run < ctts.size() && sample >= base + ctts[at.ctts_run].count; ++at.ctts_run) base += ctts[at.ctts_run].count;
    at.ctts_used = static_cast<uint32_t>(sample - base);
    at.sync_at = static_cast<uint32_t>(std::upper_bound(sync.begin(), sync.end(), sample) - sync.begin());
    if (sample >= sample_count) return;
    for (base = 0;; ++at.stsc_run) {
        const uint64_t samples = uint64_t(ChunkRunEnd(at.stsc_run) - (stsc[at.stsc_run].first_chunk - 1)) * stsc[at.stsc_run].samples;
        if (sample < base + samples || at.stsc_run + 1 == stsc.size()) break;
        base += samples;
    }
    const uint32_t per_chunk = stsc[at.stsc_run].samples;
    at.chunk = static_cast<uint32_t>(stsc[at.stsc_run].first_chunk - 1 + (sample - base) / per_chunk);
    at.in_chunk = static_cast<uint32_t>((sample - base) % per_chunk);
    at.offset = chunk_offsets[at.chunk];
    if (sizes.empty()) {
        at.offset += uint64_t(constant_size) * at.in_chunk;
    } else {
        for (uint32_t i = sample - at.in_chunk; i < sample; ++i) at.offset += sizes[i];
    }
}

// How many samples have a DTS before t90k (at or before it with inclusive).
uint32_t Mp4Reader::Table::CountBefore(int64_t t90k, bool inclusive) const
{
    auto before = [&](int64_t dts) { return inclusive ? Dts90k(dts) <= t90k : Dts90k(dts) < t90k; };
    uint64_t base = 0;
    int64_t dts = 0;
    for (const Run& run : stts) {
        const uint32_t delta = static_cast<uint32_t>(run.value);
        const uint64_t count = std::min<uint64_t>(run.count, sample_count - base);
        if (count == 0) break;
        if (!before(dts + int64_t(count - 1) * delta)) {
            uint64_t low = 0, high = count;     // samples [0, low) of the run are before
            while (low < high) {
                const uint64_t middle = (low + high) / 2;
                if (before(dts + int64_t(middle) * delta)) low = middle + 1; else high = middle;
            }
            return static_cast<uint32_t>(base + low);
        }
        base += count;
        dts += int64_t(count) * delta;
    }
    return static_cast<uint32_t>(base);
}

// The media time where the last sample ends.
int64_t Mp4Reader::Table::EndMedia() const
{
    uint64_t left = sample_count;
    int64_t end = 0;
    for (const Run& run : stts) {
        const uint64_t count = std::min<uint64_t>(run.count, left);
        end += int64_t(count) * static_cast<uint32_t>(run.value);
        left -= count;
    }
    return end;
}

namespace {

// What the sample description says of a track.
struct Description {
    uint32_t             entry = 0;         // the sample entry's type
    bool                 known = false;
    Mp4Codec             codec = Mp4Codec::kH264;
    std::vector<uint8_t> config;
    uint16_t             width = 0, height = 0, channels = 0;
    uint32_t             sample_rate = 0;
};

// The length of an MPEG-4 descriptor (1 to 4 bytes of 7 bits); false past the end.
bool DescriptorLength(Span s, std::size_t& at, std::size_t& length)
{
    length = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= s.size) return false;
        const uint8_t byte = s.data[at++];
        length = (length << 7) | (byte & 0x7F);
        if ((byte & 0x80) == 0) return length <= s.size - at;
    }
    return length <= s.size - at;
}

// esds: ES descriptor, decoder configuration (object type), decoder specific info.
bool ReadEsds(Span esds, Description& d)
{
    std::size_t at = 4, length = 0;
    if (at >= esds.size || esds.data[at++] != 0x03 || !DescriptorLength(esds, at, length) || length < 3) return false;
    const uint8_t flags = esds.data[at + 2];
    at += 3;
    if (flags & 0x80) at += 2;
    if ((flags & 0x40) && at < esds.size) at += 1 + esds.data[at];
    if (flags & 0x20) at += 2;
    if (at >= esds.size || esds.data[at++] != 0x04 || !DescriptorLength(esds, at, length) || length < 13) return false;
    const uint8_t object_type = esds.data[at];
    const std::size_t config_end = at + length;
    at += 13;
    if (object_type == 0x69 || object_type == 0x6B) {
        d.codec = Mp4Codec::kMp3;
        return true;
    }
    if (object_type != 0x40 && (object_type < 0x66 || object_type > 0x68)) return false;
    d.codec = Mp4Codec::kAac;
    if (at >= config_end || esds.data[at++] != 0x05 || !DescriptorLength(esds, at, length)) return false;
    if (length < 2 || length > 64) return false;
    d.config.assign(esds.data + at, esds.data + at + length);
    return true;
}

void ReadAudioEntry(Span entry, Description& d)
{
    if (entry.size < 28) return;
    const uint16_t version = ReadBe16(entry.data + 8);         // QuickTime sound description
    d.channels = ReadBe16(entry.data + 16);
    d.sample_rate = ReadBe32(entry.data + 24) >> 16;
    const std::size_t skip = 28 + (version == 1 ? 16 : version == 2 ? 36 : 0);
    if (entry.size < skip) return;
    const Span children{entry.data + skip, entry.size - skip};
    if (d.entry == FourCc(".mp3")) {
        d.codec = Mp4Codec::kMp3;
        d.known = true;
    } else if (d.entry == FourCc("ac-3")) {
        d.codec = Mp4Codec::kAc3;
        const Span dac3 = Child(children, FourCc("dac3"));
        d.config.assign(dac3.data, dac3.data + dac3.size);
        d.known = true;
    } else if (d.entry == FourCc("mp4a")) {
        Span esds = Child(children, FourCc("esds"));
        if (esds.data == nullptr) esds = Child(Child(children, FourCc("wave")), FourCc("esds"));
        d.known = esds.data != nullptr && ReadEsds(esds, d);
    }
}

void ReadVideoEntry(Span entry, Description& d)
{
    if (entry.size < 78) return;
    d.width = ReadBe16(entry.data + 24);
    d.height = ReadBe16(entry.data + 26);
    const Span children{entry.data + 78, entry.size - 78};
    Span config;
    if (d.entry == FourCc("avc1") || d.entry == FourCc("avc3")) {
        d.codec = Mp4Codec::kH264;
        config = Child(children, FourCc("avcC"));
    } else if (d.entry == FourCc("hvc1") || d.entry == FourCc("hev1")) {
        d.codec = Mp4Codec::kHevc;
        config = Child(children, FourCc("hvcC"));
    }
    if (config.data == nullptr || config.size < 7) return;
    d.config.assign(config.data, config.data + config.size);
    d.known = true;
}

// The first sample entry of stsd.
Description Describe(Span stsd, bool video)
{
    Description d;
    if (stsd.size < 16 || ReadBe32(stsd.data + 4) == 0) return d;
    BoxWalker walker(Span{stsd.data + 8, stsd.size - 8});
    Span entry;
    if (!walker.Next(d.entry, entry)) return d;
    if (video) ReadVideoEntry(entry, d); else ReadAudioEntry(entry, d);
    return d;
}

}  // namespace

Mp4Reader::Mp4Reader() = default;
Mp4Reader::~Mp4Reader() = default;

namespace {

using Table = Mp4Reader::Table;

// stts or ctts as runs; runs of no samples are left out.
bool ReadRuns(Span box, std::vector<Table::Run>& runs, uint64_t& entries)
{
    uint32_t count = 0;
    if (!Entries(box, 8, 8, count) || (entries += count) > kMp4MaxTableEntries) return false;
    runs.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = box.data + 8 + std::size_t(i) * 8;
        if (ReadBe32(entry) != 0) runs.push_back(Table::Run{ReadBe32(entry), static_cast<int32_t>(ReadBe32(entry + 4))});
    }
    return true;
}

bool ReadChunks(Span stbl, Table& t, uint64_t& entries)
{
    uint32_t count = 0;
    const Span stsc = Child(stbl, FourCc("stsc"));
    if (!Entries(stsc, 8, 12, count) || (entries += count) > kMp4MaxTableEntries) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = stsc.data + 8 + std::size_t(i) * 12;
        t.stsc.push_back(Table::ChunkRun{ReadBe32(entry), ReadBe32(entry + 4)});
    }
    const Span stco = Child(stbl, FourCc("stco"));
    const Span co64 = Child(stbl, FourCc("co64"));
    const bool wide = stco.data == nullptr;
    if (!Entries(wide ? co64 : stco, 8, wide ? 8 : 4, count) || (entries += count) > kMp4MaxTableEntries) return false;
    t.chunk_offsets.reserve(count);
    for (uint32_t i = 0; i < count; ++i)
        t.chunk_offsets.push_back(wide ? ReadBe64(co64.data + 8 + std::size_t(i) * 8) : ReadBe32(stco.data + 8 + std::size_t(i) * 4));
    return true;
}

bool ReadSizesAndSync(Span stbl, Table& t, uint64_t& entries)
{
    const Span stsz = Child(stbl, FourCc("stsz"));
    if (stsz.size < 12) return false;
    t.constant_size = ReadBe32(stsz.data + 4);
    t.sample_count = ReadBe32(stsz.data + 8);
    if (t.sample_count > kMp4MaxTableEntries) return false;
    uint32_t count = 0;
    if (t.constant_size == 0) {
        if (!Entries(stsz, 12, 4, count) || (entries += count) > kMp4MaxTableEntries) return false;
        t.sizes.reserve(count);
        for (uint32_t i = 0; i < count; ++i) t.sizes.push_back(ReadBe32(stsz.data + 12 + std::size_t(i) * 4));
    }
    const Span stss = Child(stbl, FourCc("stss"));
    if (stss.data == nullptr) return true;
    if (!Entries(stss, 8, 4, count) || (entries += count) > kMp4MaxTableEntries) return false;
    t.all_sync = false;
    t.sync.reserve(count);
    for (uint32_t i = 0; i < count; ++i) t.sync.push_back(ReadBe32(stss.data + 8 + std::size_t(i) * 4));
    return true;
}

// The tables agree: every sample has a time, a size and a chunk.
bool TablesAgree(const Table& t, std::string& error)
{
    uint64_t timed = 0;
    for (const Table::Run& run : t.stts) timed += run.count;
    if (timed < t.sample_count) error = Format("%u samples but %llu sample times", t.sample_count, static_cast<unsigned long long>(timed));
    if (t.constant_size == 0 && t.sizes.size() < t.sample_count) error = "fewer sample sizes than samples";
    if (t.stsc.empty() || t.stsc[0].first_chunk != 1) error = "sample-to-chunk table does not start at chunk 1";
    if (!error.empty()) return false;
    uint64_t held = 0;
    for (std::size_t i = 0; i < t.stsc.size(); ++i) {
        const uint32_t end = t.ChunkRunEnd(static_cast<uint32_t>(i));
        // Runs begin at chunk 1 and on, each after the one before, and end within the chunks.
        if (t.stsc[i].samples == 0 || t.stsc[i].first_chunk == 0 || end < t.stsc[i].first_chunk ||
            end > t.chunk_offsets.size() || t.stsc[i].first_chunk > t.chunk_offsets.size()) {
            error = "bad sample-to-chunk table";
            return false;
        }
        held += uint64_t(end - t.stsc[i].first_chunk + 1) * t.stsc[i].samples;
    }
    if (held < t.sample_count) error = Format("the chunks hold %llu of %u samples", static_cast<unsigned long long>(held), t.sample_count);
    return error.empty();
}

// The first edit: a leading empty edit delays the track, the media time of the edit that
// follows is where it starts.
void ReadEdits(Span elst, uint32_t movie_timescale, Table& t)
{
    if (elst.size < 8) return;
    const bool wide = elst.data[0] == 1;
    const std::size_t entry_size = wide ? 20 : 12;
    uint32_t count = 0;
    if (!Entries(elst, 8, entry_size, count)) return;
    for (uint32_t i = 0; i < count && i < 2; ++i) {
        const uint8_t* entry = elst.data + 8 + std::size_t(i) * entry_size;
        const uint64_t duration = wide ? ReadBe64(entry) : ReadBe32(entry);
        const int64_t media_time = wide ? static_cast<int64_t>(ReadBe64(entry + 8)) : static_cast<int32_t>(ReadBe32(entry + 4));
        if (media_time == -1 && i == 0) {
            if (movie_timescale != 0) t.offset90k = To90k(duration, movie_timescale);
            continue;
        }
        if (media_time > 0) t.media_start = std::min<int64_t>(media_time, int64_t(1) << 48);
        break;
    }
}

// ctts offsets below zero: the decode times move earlier by the lowest one.
void ShiftForNegativeOffsets(Table& t)
{
    int32_t lowest = 0;
    for (const Table::Run& run : t.ctts) lowest = std::min(lowest, run.value);
    t.dts_shift = -int64_t(lowest);
}

}  // namespace

namespace {

// A track as the movie box describes it, before its tables are read.
struct TrackBox {
    Span     trak, stbl;
    bool     video = false;
    uint32_t track_id = 0;
    uint32_t timescale = 0;
    uint64_t duration = 0;
    Description description;
};

// False for tracks that are neither video nor sound, or lack their media boxes.
bool LookAtTrack(Span trak, TrackBox& box)
{
    box.trak = trak;
    const Span tkhd = Child(trak, FourCc("tkhd"));
    if (tkhd.size >= 24) box.track_id = ReadBe32(tkhd.data + (tkhd.data[0] == 1 ? 20 : 12));
    const Span mdia = Child(trak, FourCc("mdia"));
    const Span hdlr = Child(mdia, FourCc("hdlr"));
    const Span mdhd = Child(mdia, FourCc("mdhd"));
    if (hdlr.size < 12 || mdhd.size < 24) return false;
    const uint32_t handler = ReadBe32(hdlr.data + 8);
    if (handler != FourCc("vide") && handler != FourCc("soun")) return false;
    box.video = handler == FourCc("vide");
    const bool wide = mdhd.data[0] == 1;
    if (wide && mdhd.size < 32) return false;
    box.timescale = ReadBe32(mdhd.data + (wide ? 20 : 12));
    box.duration = wide ? ReadBe64(mdhd.data + 24) : ReadBe32(mdhd.data + 16);
    box.stbl = Path(mdia, {FourCc("minf"), FourCc("stbl")});
    box.description = Describe(Child(box.stbl, FourCc("stsd")), box.video);
    return box.timescale != 0;
}

bool ReadTables(const TrackBox& box, uint32_t movie_timescale, Table& t, uint64_t& entries, std::string& error)
{
    if (!ReadRuns(Child(box.stbl, FourCc("stts")), t.stts, entries) || !ReadChunks(box.stbl, t, entries) ||
        !ReadSizesAndSync(box.stbl, t, entries)) {
        const bool big = entries > kMp4MaxTableEntries || t.sample_count > kMp4MaxTableEntries;
        error = big ? "sample tables above 10 million entries" : "sample table missing or cut short";
        return false;
    }
    const Span ctts = Child(box.stbl, FourCc("ctts"));
    if (ctts.data != nullptr && !ReadRuns(ctts, t.ctts, entries)) {
        error = "composition offsets cut short or too many";
        return false;
    }
    if (t.sample_count == 0) {
        error = "it has no samples";
        return false;
    }
    if (!TablesAgree(t, error)) return false;
    t.timescale = box.timescale;
    ReadEdits(Path(box.trak, {FourCc("edts"), FourCc("elst")}), movie_timescale, t);
    ShiftForNegativeOffsets(t);
    return true;
}

}  // namespace

bool Mp4Reader::Open(int fd, std::string& error)
{
    fd_ = fd;
    error.clear();
    tracks_.clear();
    tables_.clear();
    end90k_ = 0;
    struct stat info{};
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = "cannot read the file";
        return false;
    }
    file_size_ = info.st_size;
    int64_t at = 0;
    for (int boxes = 0; at + 8 <= file_size_ && boxes < 100000; ++boxes) {
        uint8_t header[16] = {};
        if (pread(fd, header, sizeof header, at) < 8) break;
        uint64_t size = ReadBe32(header);
        const uint32_t type = ReadBe32(header + 4);
        std::size_t header_size = 8;
        if (size == 1) size = ReadBe64(header + 8), header_size = 16;
        if (size == 0) size = uint64_t(file_size_ - at);
        if (size < header_size || size > uint64_t(file_size_ - at)) {
            error = type == FourCc("moov") ? "the movie box (moov) is cut short" : Format("box '%s' at %lld runs past the end of the file", TagText(type).c_str(), static_cast<long long>(at));
            return false;
        }
        if (type == FourCc("moof")) {
            error = "fragmented MP4 (movie fragments) is not supported";
            return false;
        }
        if (type == FourCc("moov")) return ReadMovie(at + int64_t(header_size), int64_t(size - header_size), error);
        at += int64_t(size);
    }
    error = "no movie box (moov) in the file";
    return false;
}

bool Mp4Reader::ReadMovie(int64_t at, int64_t size, std::string& error)
{
    if (size > kMp4MaxMovieBytes) {
        error = Format("movie box of %lld bytes is above the 64 MiB limit", static_cast<long long>(size));
        return false;
    }
    std::vector<uint8_t> body(static_cast<std::size_t>(size));
    if (!ReadAll(fd_, at, body)) {
        error = "cannot read the movie box";
        return false;
    }
    return ParseMovie(body.data(), body.size(), error);
}

bool Mp4Reader::ParseMovie(const uint8_t* data, std::size_t size, std::string& error)
{
    const Span moov{data, size};
    if (Child(moov, FourCc("mvex")).data != nullptr) {
        error = "fragmented MP4 (movie extends box) is not supported";
        return false;
    }
    const Span mvhd = Child(moov, FourCc("mvhd"));
    const uint32_t movie_timescale = mvhd.size >= 24 ? ReadBe32(mvhd.data + (mvhd.data[0] == 1 ? 20 : 12)) : 0;
    TrackBox chosen[2];                     // video, audio
    bool have[2] = {false, false};
    std::string others;
    BoxWalker walker(moov);
    uint32_t type = 0;
    Span trak;
    while (walker.Next(type, trak)) {
        TrackBox box;
        if (type != FourCc("trak") || !LookAtTrack(trak, box)) continue;
        const int slot = box.video ? 0 : 1;
        if (!box.description.known) {
            if (others.size() < 60) others += " " + TagText(box.description.entry);
        } else if (!have[slot]) {
            chosen[slot] = box;
            have[slot] = true;
        }
    }
    if (!have[0] && !have[1]) {
        error = "no H.264, HEVC, AAC, MP3 or AC-3 track" + (others.empty() ? std::string() : " (found" + others + ")");
        return false;
    }
    uint64_t entries = 0;
    for (int slot = 0; slot < 2; ++slot) {
        if (!have[slot]) continue;
        auto table = std::make_unique<Table>();
        if (!ReadTables(chosen[slot], movie_timescale, *table, entries, error)) {
            error = Format("track %u: ", chosen[slot].track_id) + error;
            tables_.clear();
            return false;
        }
        Mp4Track track;
        const Description& d = chosen[slot].description;
        track.codec = d.codec;
        track.video = chosen[slot].video;
        track.track_id = chosen[slot].track_id;
        track.timescale = chosen[slot].timescale;
        track.duration90k = To90k(chosen[slot].duration, chosen[slot].timescale);
        track.config = d.config;
        track.width = d.width, track.height = d.height, track.channels = d.channels;
        track.sample_rate = d.sample_rate;
        track.sample_count = table->sample_count;
        tracks_.push_back(std::move(track));
        tables_.push_back(std::move(table));
    }
    // One time line for the file: its earliest decode time becomes 0.
    int64_t first = INT64_MAX;
    for (const auto& table : tables_) first = std::min(first, table->Dts90k(0));
    for (const auto& table : tables_) {
        table->offset90k -= first;
        end90k_ = std::max(end90k_, table->Dts90k(table->EndMedia()));
    }
    Rewind();
    return true;
}

void Mp4Reader::Rewind()
{
    for (const auto& table : tables_) table->PositionAt(0);
}

bool Mp4Reader::Next(Mp4Sample& sample)
{
    int best = -1;
    int64_t best_dts = 0;
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        const Table& t = *tables_[i];
        if (t.at.sample >= t.sample_count) continue;
        const int64_t dts = t.Dts90k(t.at.dts);
        if (best < 0 || dts < best_dts) best = static_cast<int>(i), best_dts = dts;
    }
    if (best < 0) return false;
    Table& t = *tables_[static_cast<std::size_t>(best)];
    sample.track = best;
    sample.offset = static_cast<int64_t>(std::min<uint64_t>(t.at.offset, INT64_MAX));
    sample.size = t.SizeOf(t.at.sample);
    sample.dts90k = best_dts;
    sample.pts90k = t.To90kLine(t.at.dts + t.CompositionOffset());
    sample.key = t.IsSync();
    t.Advance();
    return true;
}

bool Mp4Reader::ReadSample(const Mp4Sample& sample, std::vector<uint8_t>& data) const
{
    if (fd_ < 0 || sample.size > kMp4MaxSampleBytes || sample.offset < 0 || sample.offset > file_size_ ||
        int64_t(sample.size) > file_size_ - sample.offset)
        return false;
    data.resize(sample.size);
    return ReadAll(fd_, sample.offset, data);
}

void Mp4Reader::Seek(int64_t dts90k)
{
    if (tables_.empty()) return;
    Table& first = *tables_[0];
    uint32_t sample = first.CountBefore(dts90k, true);
    sample = sample > 0 ? sample - 1 : 0;
    if (tracks_[0].video && !first.all_sync) {
        // The last sync sample at or before it, else the first one.
        auto after = std::upper_bound(first.sync.begin(), first.sync.end(), sample + 1);
        if (after != first.sync.begin()) --after;
        if (after != first.sync.end() && *after >= 1 && *after <= first.sample_count) sample = *after - 1;
    }
    first.PositionAt(sample);
    if (tables_.size() < 2) return;
    Table& audio = *tables_[1];
    audio.PositionAt(audio.CountBefore(first.Dts90k(first.at.dts), false));
}
