#include "media/stream_facts.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kSectionMax = 1024;                 // PSI: section_length at most 1021
constexpr int64_t     kPcrWrap = (int64_t{1} << 33) * 300;
constexpr int64_t     kPcrStepMax = kPcrTicksPerSecond;    // a longer step is a jump, not measured
constexpr int         kPictureMax = 16384;

bool IsVideo(uint8_t type) { return type == 0x1B || type == 0x24 || type == 0x01 || type == 0x02; }
bool IsMpegAudio(uint8_t type) { return type == 0x03 || type == 0x04; }

// Reads bits of an RBSP (emulation prevention bytes already removed); a read past the end
// marks the reader failed and gives 0.
class BitReader {
public:
    BitReader(const uint8_t* data, std::size_t size) : data_(data), bits_(size * 8) {}
    uint64_t Bits(int count)
    {
        uint64_t value = 0;
        for (int i = 0; i < count; ++i) {
            if (at_ >= bits_) {
                failed_ = true;
                return 0;
            }
            value = (value << 1) | ((data_[at_ / 8] >> (7 - at_ % 8)) & 1u);
            ++at_;
        }
        return value;
    }
    void Skip(std::size_t count)
    {
        at_ += count;
        if (at_ > bits_) failed_ = true;
    }
    // Exp-Golomb: at most 31 leading zeros.
    uint64_t Ue()
    {
        int zeros = 0;
        while (Bits(1) == 0) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return (uint64_t{1} << zeros) - 1 + Bits(zeros);
    }
    int64_t Se()
    {
        const uint64_t code = Ue();
        return (code & 1) != 0 ? static_cast<int64_t>((code + 1) / 2) : -static_cast<int64_t>(code / 2);
    }
    bool failed() const { return failed_; }

private:
    const uint8_t* data_;
    std::size_t    bits_;
    std::size_t    at_ = 0;
    bool           failed_ = false;
};

// The NAL unit without its emulation prevention bytes (00 00 03 -> 00 00).
std::vector<uint8_t> Unescape(const uint8_t* nal, std::size_t length)
{
    std::vector<uint8_t> out;
    out.reserve(length);
    int zeros = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (zeros >= 2 && nal[i] == 0x03) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        out.push_back(nal[i]);
    }
    return out;
}

bool HasChromaFormat(uint64_t profile)
{
    for (const uint64_t high : {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135})
        if (profile == high) return true;
    return false;
}

void SkipScalingList(BitReader& bits, int size)
{
    int64_t last = 8, next = 8;
    for (int j = 0; j < size && !bits.failed(); ++j) {
        if (next != 0) next = ((last + bits.Se()) % 256 + 256) % 256;
        last = next == 0 ? last : next;
    }
}

// The size from the picture in samples less the cropping in units; false when it does not add up.
bool CroppedSize(uint64_t width, uint64_t height, uint64_t unit_x, uint64_t unit_y, const uint64_t (&crop)[4], int& out_w,
                 int& out_h)
{
    for (const uint64_t c : crop)
        if (c > kPictureMax) return false;
    const uint64_t cut_x = unit_x * (crop[0] + crop[1]);
    const uint64_t cut_y = unit_y * (crop[2] + crop[3]);
    if (width > kPictureMax * 2 || height > kPictureMax * 2 || cut_x >= width || cut_y >= height) return false;
    if (width - cut_x > kPictureMax || height - cut_y > kPictureMax) return false;
    out_w = static_cast<int>(width - cut_x);
    out_h = static_cast<int>(height - cut_y);
    return true;
}

bool AvcSize(BitReader& bits, int& width, int& height)
{
    const uint64_t profile = bits.Bits(8);
    bits.Skip(16);                                             // constraint flags, level
    bits.Ue();                                                 // seq_parameter_set_id
    uint64_t chroma = 1;
    bool separate_planes = false;
    if (HasChromaFormat(profile)) {
        chroma = bits.Ue();
        if (chroma > 3) return false;
        if (chroma == 3) separate_planes = bits.Bits(1) != 0;
        bits.Ue();                                             // bit depths
        bits.Ue();
        bits.Skip(1);
        if (bits.Bits(1) != 0) {                               // scaling matrices
            for (int i = 0; i < (chroma != 3 ? 8 : 12) && !bits.failed(); ++i)
                if (bits.Bits(1) != 0) SkipScalingList(bits, i < 6 ? 16 : 64);
        }
    }
    bits.Ue();                                                 // log2_max_frame_num_minus4
    const uint64_t poc_type = bits.Ue();
    if (poc_type == 0) {
        bits.Ue();
    } else if (poc_type == 1) {
        bits.Skip(1);
        bits.Se();
        bits.Se();
        const uint64_t cycle = bits.Ue();
        if (cycle > 255) return false;
        for (uint64_t i = 0; i < cycle && !bits.failed(); ++i) bits.Se();
    } else if (poc_type != 2) {
        return false;
    }
    bits.Ue();                                                 // max_num_ref_frames
    bits.Skip(1);
    const uint64_t width_mbs = bits.Ue() + 1;
    const uint64_t height_units = bits.Ue() + 1;
    const uint64_t frame_mbs_only = bits.Bits(1);
    if (frame_mbs_only == 0) bits.Skip(1);
    bits.Skip(1);                                              // direct_8x8_inference_flag
    uint64_t crop[4] = {0, 0, 0, 0};
    if (bits.Bits(1) != 0)
        for (uint64_t& c : crop) c = bits.Ue();
    if (bits.failed() || width_mbs > kPictureMax / 16 || height_units > kPictureMax / 16) return false;
    const uint64_t array_type = separate_planes ? 0 : chroma;
    const uint64_t unit_x = array_type == 0 ? 1 : (array_type == 3 ? 1 : 2);
    const uint64_t unit_y = (array_type == 0 ? 1 : (array_type == 1 ? 2 : 1)) * (2 - frame_mbs_only);
    return CroppedSize(width_mbs * 16, height_units * 16 * (2 - frame_mbs_only), unit_x, unit_y, crop, width, height);
}

bool HevcSize(BitReader& bits, int& width, int& height)
{
    bits.Skip(4);                                              // sps_video_parameter_set_id
    const int sub_layers = static_cast<int>(bits.Bits(3));     // sps_max_sub_layers_minus1
    bits.Skip(1);
    bits.Skip(96);                                             // general profile, tier and level
    bool profile_present[8] = {};
    bool level_present[8] = {};
    for (int i = 0; i < sub_layers; ++i) {
        profile_present[i] = bits.Bits(1) != 0;
        level_present[i] = bits.Bits(1) != 0;
    }
    if (sub_layers > 0) bits.Skip(static_cast<std::size_t>(2 * (8 - sub_layers)));
    for (int i = 0; i < sub_layers; ++i) {
        if (profile_present[i]) bits.Skip(88);
        if (level_present[i]) bits.Skip(8);
    }
    bits.Ue();                                                 // sps_seq_parameter_set_id
    const uint64_t chroma = bits.Ue();
    if (chroma > 3) return false;
    bool separate_planes = false;
    if (chroma == 3) separate_planes = bits.Bits(1) != 0;
    const uint64_t luma_width = bits.Ue();
    const uint64_t luma_height = bits.Ue();
    uint64_t crop[4] = {0, 0, 0, 0};
    if (bits.Bits(1) != 0)
        for (uint64_t& c : crop) c = bits.Ue();
    if (bits.failed()) return false;
    const uint64_t array_type = separate_planes ? 0 : chroma;
    const uint64_t unit_x = array_type == 1 || array_type == 2 ? 2 : 1;
    const uint64_t unit_y = array_type == 1 ? 2 : 1;
    return CroppedSize(luma_width, luma_height, unit_x, unit_y, crop, width, height);
}

// Three ASCII letters in lower case, or empty.
std::string LanguageCode(const uint8_t* code)
{
    std::string out;
    for (int i = 0; i < 3; ++i) {
        const uint8_t c = code[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return {};
        out += static_cast<char>(c | 0x20);
    }
    return out;
}

// The language of a PMT entry's descriptors: an ISO 639 descriptor, else the first entry of a
// teletext or subtitling descriptor.
std::string LanguageOf(const uint8_t* descriptors, std::size_t length)
{
    std::string fallback;
    for (std::size_t at = 0; at + 2 <= length;) {
        const uint8_t tag = descriptors[at];
        const std::size_t size = descriptors[at + 1];
        if (at + 2 + size > length) break;
        if (size >= 3) {
            if (tag == 0x0A) return LanguageCode(descriptors + at + 2);
            if ((tag == 0x56 || tag == 0x46 || tag == 0x59) && fallback.empty()) fallback = LanguageCode(descriptors + at + 2);
        }
        at += 2 + size;
    }
    return fallback;
}

}  // namespace

std::string CodecName(uint8_t stream_type, const uint8_t* descriptors, std::size_t length)
{
    const char* by_descriptor = nullptr;
    const char* by_registration = nullptr;
    for (std::size_t at = 0; at + 2 <= length;) {
        const uint8_t tag = descriptors[at];
        const std::size_t size = descriptors[at + 1];
        if (at + 2 + size > length) break;
        const uint8_t* body = descriptors + at + 2;
        if (tag == 0x05 && size >= 4) {
            const std::string id(reinterpret_cast<const char*>(body), 4);
            if (id == "AC-3") by_registration = "AC-3";
            else if (id == "EAC3") by_registration = "E-AC-3";
            else if (id == "HEVC") by_registration = "HEVC";
            else if (id == "Opus") by_registration = "Opus";
            else if (id == "DTS1" || id == "DTS2" || id == "DTS3") by_registration = "DTS";
        }
        if (by_descriptor == nullptr) {
            if (tag == 0x6A) by_descriptor = "AC-3";
            else if (tag == 0x7A) by_descriptor = "E-AC-3";
            else if (tag == 0x7B) by_descriptor = "DTS";
            else if (tag == 0x7C) by_descriptor = "AAC";
            else if (tag == 0x56 || tag == 0x46) by_descriptor = "teletext";
            else if (tag == 0x59) by_descriptor = "subtitles";
        }
        at += 2 + size;
    }
    switch (stream_type) {
    case 0x01: return "MPEG-1 video";
    case 0x02: return "MPEG-2 video";
    case 0x03:
    case 0x04: return "MP2";
    case 0x0F:
    case 0x11: return "AAC";
    case 0x10: return "MPEG-4 video";
    case 0x1B: return "H.264";
    case 0x24: return "HEVC";
    case 0x81: return "AC-3";
    case 0x87: return "E-AC-3";
    case 0x06:
        if (by_descriptor != nullptr) return by_descriptor;
        break;
    default: break;
    }
    return by_registration != nullptr ? by_registration : "data";
}

bool SpsPictureSize(const uint8_t* nal, std::size_t length, bool hevc, int& width, int& height)
{
    const std::size_t header = hevc ? 2 : 1;
    if (length <= header) return false;
    if (hevc ? ((nal[0] >> 1) & 0x3F) != 33 : (nal[0] & 0x1F) != 7) return false;
    const std::vector<uint8_t> rbsp = Unescape(nal + header, std::min(length - header, kFactsParameterSetMax));
    BitReader bits(rbsp.data(), rbsp.size());
    int w = 0, h = 0;
    if (!(hevc ? HevcSize(bits, w, h) : AvcSize(bits, w, h)) || bits.failed()) return false;
    width = w;
    height = h;
    return true;
}

void StreamFacts::Feed(const uint8_t* data, std::size_t length)
{
    reblocker_.Feed(data, length, [this](const uint8_t* block) {
        for (int at = 0; at < kTsBlockSize; at += kTsPacketSize) Packet(block + at);
    });
}

bool StreamFacts::Complete() const
{
    if (!pat_seen_ || programs_.empty()) return false;
    for (const StreamFactsProgram& program : programs_) {
        if (!program.pmt_seen) return false;
        for (const StreamFactsStream& stream : program.streams)
            if (IsVideo(stream.type) && stream.width == 0) return false;
    }
    return true;
}

int64_t StreamFacts::Bitrate(double wall_seconds) const
{
    if (span_ticks_ >= kPcrTicksPerSecond / 10)
        return static_cast<int64_t>(static_cast<double>(span_packets_) * kTsPacketSize * 8 / measured_seconds());
    if (wall_seconds > 0) return static_cast<int64_t>(static_cast<double>(packets_) * kTsPacketSize * 8 / wall_seconds);
    return 0;
}

void StreamFacts::Clock(const uint8_t* packet, uint16_t pid)
{
    int64_t ticks = 0;
    if (!extract_pcr(packet, ticks)) return;
    if (pcr_pid_ < 0) pcr_pid_ = pid;
    if (pid != pcr_pid_) return;
    if (last_pcr_ >= 0) {
        const int64_t step = ((ticks - last_pcr_) % kPcrWrap + kPcrWrap) % kPcrWrap;
        if (step > 0 && step <= kPcrStepMax) {
            span_ticks_ += step;
            span_packets_ += packets_ - last_pcr_packets_;
        }
    }
    last_pcr_ = ticks;
    last_pcr_packets_ = packets_;
}

void StreamFacts::Packet(const uint8_t* packet)
{
    if (packet[0] != kTsSyncByte) return;
    TsPacketHeader header;
    const uint16_t pid = parse_ts_header(packet, header);
    Clock(packet, pid);
    ++packets_;
    if (header.transport_error_indicator || !header.payload_flag) return;
    const int offset = payload_offset(packet);
    if (offset >= kTsPacketSize) return;
    const uint8_t* payload = packet + offset;
    const std::size_t length = static_cast<std::size_t>(kTsPacketSize - offset);
    const bool unit_start = header.payload_unit_start_indicator != 0;
    for (Section& section : sections_) {
        if (section.pid != pid) continue;
        TableBytes(section, payload, length, unit_start);
        return;
    }
    if (header.transport_scrambling_control != 0) return;
    for (Scan& scan : scans_) {
        if (scan.pid != pid) continue;
        ElementaryBytes(scan, payload, length, unit_start);
        return;
    }
}

void StreamFacts::TableBytes(Section& section, const uint8_t* data, std::size_t length, bool unit_start)
{
    // Sections finished by this packet are read after it is taken in: reading a PAT adds records.
    std::vector<std::vector<uint8_t>> done;
    const auto take_finished = [&section, &done] {
        if (!section.gathering || section.bytes.size() < 3) return;
        const std::size_t total = 3 + (static_cast<std::size_t>(section.bytes[1] & 0x0F) << 8 | section.bytes[2]);
        if (total > kSectionMax || total < 12) {
            section.gathering = false;
        } else if (section.bytes.size() >= total) {
            section.gathering = false;
            if (crc32_mpeg(section.bytes.data(), total) == 0)
                done.emplace_back(section.bytes.begin(), section.bytes.begin() + static_cast<std::ptrdiff_t>(total));
        }
    };
    if (unit_start) {
        const std::size_t pointer = data[0];
        if (1 + pointer > length) {
            section.gathering = false;
            return;
        }
        if (section.gathering) {                               // the end of the section before
            section.bytes.insert(section.bytes.end(), data + 1, data + 1 + pointer);
            take_finished();
        }
        section.bytes.assign(data + 1 + pointer, data + length);
        section.gathering = true;
    } else if (section.gathering) {
        section.bytes.insert(section.bytes.end(), data, data + length);
    }
    take_finished();
    for (const std::vector<uint8_t>& table : done) Table(table.data(), table.size());
}

void StreamFacts::Table(const uint8_t* section, std::size_t length)
{
    if (section[0] == 0x00) {
        ReadPat(section, length);
        return;
    }
    if (section[0] != 0x02) return;
    const uint16_t number = static_cast<uint16_t>(section[3] << 8 | section[4]);
    for (StreamFactsProgram& program : programs_) {
        if (program.number != number) continue;
        ReadPmt(program, section, length);
        return;
    }
}

void StreamFacts::ReadPat(const uint8_t* section, std::size_t length)
{
    if (pat_seen_) return;
    pat_seen_ = true;
    for (std::size_t at = 8; at + 4 <= length - 4 && programs_.size() < static_cast<std::size_t>(kFactsMaxPrograms); at += 4) {
        const uint16_t number = static_cast<uint16_t>(section[at] << 8 | section[at + 1]);
        if (number == 0) continue;                             // the network PID
        StreamFactsProgram program;
        program.number = number;
        program.pmt_pid = static_cast<uint16_t>((section[at + 2] & 0x1F) << 8 | section[at + 3]);
        programs_.push_back(std::move(program));
        const bool known = std::any_of(sections_.begin(), sections_.end(),
                                       [&](const Section& s) { return s.pid == programs_.back().pmt_pid; });
        if (!known) sections_.push_back(Section{programs_.back().pmt_pid, {}, false});
    }
}

void StreamFacts::ReadPmt(StreamFactsProgram& program, const uint8_t* section, std::size_t length)
{
    if (program.pmt_seen) return;
    program.pmt_seen = true;
    const std::size_t end = length - 4;
    std::size_t at = 12 + (static_cast<std::size_t>(section[10] & 0x0F) << 8 | section[11]);
    while (at + 5 <= end && program.streams.size() < static_cast<std::size_t>(kFactsMaxStreams)) {
        StreamFactsStream stream;
        stream.type = section[at];
        stream.pid = static_cast<uint16_t>((section[at + 1] & 0x1F) << 8 | section[at + 2]);
        const std::size_t info = static_cast<std::size_t>(section[at + 3] & 0x0F) << 8 | section[at + 4];
        const std::size_t kept = std::min(info, end - (at + 5));
        stream.codec = CodecName(stream.type, section + at + 5, kept);
        stream.language = LanguageOf(section + at + 5, kept);
        program.streams.push_back(std::move(stream));
        at += 5 + info;
    }
    RebuildScans();
}

void StreamFacts::RebuildScans()
{
    for (std::size_t p = 0; p < programs_.size(); ++p) {
        for (std::size_t i = 0; i < programs_[p].streams.size(); ++i) {
            const StreamFactsStream& stream = programs_[p].streams[i];
            if (!IsVideo(stream.type) && !IsMpegAudio(stream.type)) continue;
            const bool known = std::any_of(scans_.begin(), scans_.end(), [&](const Scan& s) { return s.pid == stream.pid; });
            if (known) continue;
            Scan scan;
            scan.pid = stream.pid;
            scan.type = stream.type;
            scan.program = p;
            scan.index = i;
            scans_.push_back(std::move(scan));
        }
    }
}

void StreamFacts::ElementaryBytes(Scan& scan, const uint8_t* data, std::size_t length, bool unit_start)
{
    if (scan.done) return;
    StreamFactsStream& stream = programs_[scan.program].streams[scan.index];
    if (unit_start) {
        if (scan.collecting) EndParameterSet(scan, stream);
        scan.window = 0xFFFFFFFF;
        if (length < 9 || data[0] != 0 || data[1] != 0 || data[2] != 1) return;
        const std::size_t header = 9 + static_cast<std::size_t>(data[8]);
        if (header >= length) return;
        data += header;
        length -= header;
        if (IsMpegAudio(scan.type)) {                          // layer II or III, from the first frame
            for (std::size_t i = 0; i + 1 < length; ++i) {
                if (data[i] != 0xFF || (data[i + 1] & 0xE0) != 0xE0) continue;
                const int layer = (data[i + 1] >> 1) & 3;
                if (layer == 0) continue;
                stream.codec = layer == 1 ? "MP3" : layer == 2 ? "MP2" : "MP1";
                scan.done = true;
                return;
            }
            return;
        }
    }
    if (IsMpegAudio(scan.type)) return;
    for (std::size_t i = 0; i < length && !scan.done; ++i) {
        const uint8_t byte = data[i];
        const bool after_start_code = (scan.window & 0x00FFFFFF) == 0x000001;
        scan.window = (scan.window << 8) | byte;
        if (after_start_code && scan.collecting) {
            // The parameter set ended at this start code: drop the start code's bytes kept.
            scan.nal.resize(scan.nal.size() >= 3 ? scan.nal.size() - 3 : 0);
            EndParameterSet(scan, stream);
            if (scan.done) return;
        }
        if (scan.collecting) {
            scan.nal.push_back(byte);
            const bool sequence_header = scan.type == 0x01 || scan.type == 0x02;
            if (scan.nal.size() >= (sequence_header ? 4 : kFactsParameterSetMax)) EndParameterSet(scan, stream);
            continue;
        }
        if (!after_start_code) continue;
        const bool parameter_set = scan.type == 0x1B   ? (byte & 0x1F) == 7
                                   : scan.type == 0x24 ? ((byte >> 1) & 0x3F) == 33
                                                       : byte == 0xB3;
        if (!parameter_set) continue;
        scan.collecting = true;
        scan.nal.assign(1, byte);
    }
}

void StreamFacts::EndParameterSet(Scan& scan, StreamFactsStream& stream)
{
    scan.collecting = false;
    int width = 0, height = 0;
    if (scan.type == 0x1B || scan.type == 0x24) {
        if (SpsPictureSize(scan.nal.data(), scan.nal.size(), scan.type == 0x24, width, height)) {
            stream.width = width;
            stream.height = height;
            scan.done = true;
        }
    } else if (scan.nal.size() >= 4) {                         // B3, then 12 bits each
        width = scan.nal[1] << 4 | scan.nal[2] >> 4;
        height = (scan.nal[2] & 0x0F) << 8 | scan.nal[3];
        if (width > 0 && height > 0) {
            stream.width = width;
            stream.height = height;
            scan.done = true;
        }
    }
    scan.nal.clear();
}
