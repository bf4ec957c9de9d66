#include "media/elementary.h"

#include <utility>

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr uint8_t kAvcDelimiter[6] = {0, 0, 0, 1, 0x09, 0xF0};           // any slice types
constexpr uint8_t kHevcDelimiter[7] = {0, 0, 0, 1, 0x46, 0x01, 0x50};    // temporal id 0, any

int NalType(VideoCodec codec, uint8_t first_byte)
{
    return codec == VideoCodec::kH264 ? (first_byte & 0x1F) : ((first_byte >> 1) & 0x3F);
}

bool IsDelimiter(VideoCodec codec, int type)
{
    return type == (codec == VideoCodec::kH264 ? 9 : 35);
}

bool IsSps(VideoCodec codec, int type)
{
    return type == (codec == VideoCodec::kH264 ? 7 : 33);
}

bool IsKeyPicture(VideoCodec codec, int type)
{
    return codec == VideoCodec::kH264 ? type == 5 : (type >= 16 && type <= 23);
}

bool ValidLengthSize(int size)
{
    return size == 1 || size == 2 || size == 4;
}

void AppendBytes(std::vector<uint8_t>& out, const uint8_t* data, std::size_t size)
{
    out.insert(out.end(), data, data + size);
}

// Reads the 16-bit length and the unit that follows it at at; false when either is cut short.
// Non-empty units of the wanted kind are added behind a start code.
bool TakeParameterSet(const uint8_t* data, std::size_t size, std::size_t& at, bool wanted, VideoConfig& config)
{
    if (size - at < 2) return false;
    const std::size_t length = (static_cast<std::size_t>(data[at]) << 8) | data[at + 1];
    at += 2;
    if (size - at < length) return false;
    if (wanted && length > 0) {
        AppendBytes(config.parameter_sets, kStartCode, sizeof kStartCode);
        AppendBytes(config.parameter_sets, data + at, length);
        ++config.parameter_set_count;
    }
    at += length;
    return true;
}

// Reads MSB first; reading past the end sets short_read and yields zeros.
struct BitReader {
    const uint8_t* data;
    std::size_t    size;
    std::size_t    bit = 0;
    bool           short_read = false;
    uint32_t Read(int count)
    {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++bit) {
            int b = 0;
            if (bit / 8 < size) b = (data[bit / 8] >> (7 - bit % 8)) & 1;
            else short_read = true;
            value = (value << 1) | static_cast<uint32_t>(b);
        }
        return value;
    }
    int ObjectType()
    {
        const int type = static_cast<int>(Read(5));
        return type == 31 ? 32 + static_cast<int>(Read(6)) : type;
    }
    // A sampling frequency index; an explicit rate (index 15) becomes its index when it has one.
    int RateIndex();
};

constexpr int kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

int BitReader::RateIndex()
{
    const int index = static_cast<int>(Read(4));
    if (index != 15) return index;
    const int rate = static_cast<int>(Read(24));
    for (int i = 0; i < 13; ++i)
        if (kAacRates[i] == rate) return i;
    return -1;
}

}  // namespace

namespace {

bool ReadAvcConfig(const uint8_t* data, std::size_t size, AvcConfig& config)
{
    if (data == nullptr || size < 6) return false;
    config.nal_length_size = (data[4] & 0x03) + 1;
    if (!ValidLengthSize(config.nal_length_size)) return false;
    std::size_t at = 6;
    for (int i = 0, count = data[5] & 0x1F; i < count; ++i)
        if (!TakeParameterSet(data, size, at, true, config)) return false;
    if (at >= size) return false;
    for (int i = 0, count = data[at++]; i < count; ++i)
        if (!TakeParameterSet(data, size, at, true, config)) return false;
    return true;
}

bool ReadHevcConfig(const uint8_t* data, std::size_t size, HevcConfig& config)
{
    config.codec = VideoCodec::kHevc;
    if (data == nullptr || size < 23) return false;
    config.nal_length_size = (data[21] & 0x03) + 1;
    if (!ValidLengthSize(config.nal_length_size)) return false;
    std::size_t at = 23;
    for (int array = 0, arrays = data[22]; array < arrays; ++array) {
        if (size - at < 3) return false;
        const int type = data[at] & 0x3F;
        const int count = (data[at + 1] << 8) | data[at + 2];
        at += 3;
        for (int i = 0; i < count; ++i)
            if (!TakeParameterSet(data, size, at, type >= 32 && type <= 34, config)) return false;
    }
    return true;
}

}  // namespace

bool ParseAvcConfig(const uint8_t* data, std::size_t size, AvcConfig& config)
{
    AvcConfig read;
    if (!ReadAvcConfig(data, size, read)) return false;
    config = std::move(read);
    return true;
}

bool ParseHevcConfig(const uint8_t* data, std::size_t size, HevcConfig& config)
{
    HevcConfig read;
    if (!ReadHevcConfig(data, size, read)) return false;
    config = std::move(read);
    return true;
}

bool AppendAnnexB(std::vector<uint8_t>& out, const uint8_t* sample, std::size_t size, int nal_length_size,
                  VideoCodec codec, const VideoConfig* with_parameter_sets, bool key)
{
    if (!ValidLengthSize(nal_length_size) || size > kMaxAccessUnitSize || (sample == nullptr && size > 0)) return false;
    // First walk: every length must fit; note what the sample carries.
    const std::size_t prefix = static_cast<std::size_t>(nal_length_size);
    bool has_sps = false;
    std::size_t units = 0;
    for (std::size_t at = 0; at < size;) {
        if (size - at < prefix) return false;
        std::size_t length = 0;
        for (std::size_t i = 0; i < prefix; ++i) length = (length << 8) | sample[at + i];
        at += prefix;
        if (size - at < length) return false;
        if (length > 0) {
            const int type = NalType(codec, sample[at]);
            has_sps = has_sps || IsSps(codec, type);
            key = key || IsKeyPicture(codec, type);
            ++units;
        }
        at += length;
    }
    const bool insert = key && !has_sps && with_parameter_sets != nullptr;
    out.reserve(out.size() + size + units * 4 + sizeof kHevcDelimiter +
                (insert ? with_parameter_sets->parameter_sets.size() : 0));
    if (codec == VideoCodec::kH264) AppendBytes(out, kAvcDelimiter, sizeof kAvcDelimiter);
    else AppendBytes(out, kHevcDelimiter, sizeof kHevcDelimiter);
    if (insert) out.insert(out.end(), with_parameter_sets->parameter_sets.begin(), with_parameter_sets->parameter_sets.end());
    for (std::size_t at = 0; at < size;) {
        std::size_t length = 0;
        for (std::size_t i = 0; i < prefix; ++i) length = (length << 8) | sample[at + i];
        at += prefix;
        if (length > 0 && !IsDelimiter(codec, NalType(codec, sample[at]))) {
            AppendBytes(out, kStartCode, sizeof kStartCode);
            AppendBytes(out, sample + at, length);
        }
        at += length;
    }
    return true;
}

bool ParseAudioSpecificConfig(const uint8_t* data, std::size_t size, AacConfig& config)
{
    if (data == nullptr) return false;
    BitReader bits{data, size};
    int object_type = bits.ObjectType();
    int rate_index = bits.RateIndex();
    const int channels = static_cast<int>(bits.Read(4));
    // Explicit SBR/PS signalling: the core's own rate is the one given first; then its type.
    if (object_type == 5 || object_type == 29) {
        (void)bits.RateIndex();
        object_type = bits.ObjectType();
    }
    if (bits.short_read || object_type < 1 || object_type > 4 || rate_index < 0 || rate_index > 12 || channels < 1 ||
        channels > 7)
        return false;
    config.object_type = object_type;
    config.sample_rate_index = rate_index;
    config.sample_rate = kAacRates[rate_index];
    config.channel_configuration = channels;
    return true;
}

bool AdtsHeader(const AacConfig& config, std::size_t frame_size, uint8_t out[7])
{
    const std::size_t length = frame_size + 7;
    if (length > 0x1FFF) return false;
    const int profile = (config.object_type - 1) & 0x03;
    const int channels = config.channel_configuration & 0x07;
    out[0] = 0xFF;
    out[1] = 0xF1;                                          // MPEG-4, layer 0, no CRC
    out[2] = static_cast<uint8_t>((profile << 6) | ((config.sample_rate_index & 0x0F) << 2) | (channels >> 2));
    out[3] = static_cast<uint8_t>(((channels & 0x03) << 6) | (length >> 11));
    out[4] = static_cast<uint8_t>(length >> 3);
    out[5] = static_cast<uint8_t>(((length & 0x07) << 5) | 0x1F);   // buffer fullness 0x7FF: variable
    out[6] = 0xFC;                                          // one raw data block
    return true;
}
