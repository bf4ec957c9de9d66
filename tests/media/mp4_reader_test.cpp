// The MP4 reader against files made by ffmpeg, sample by sample against what ffprobe reads
// from the same files.

#include "media/mp4_reader.h"
#include "media/mp4_remux.h"

#include "support/media_suite.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Packet {
    int64_t     dts90k = 0, pts90k = 0;
    bool        key = false;
    std::string hash;
};

uint32_t Adler32(const std::vector<uint8_t>& bytes)
{
    uint32_t a = 1, b = 0;
    for (uint8_t byte : bytes) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

int64_t To90k(int64_t ticks, int64_t timescale)
{
    const int64_t scaled = ticks * 90000;
    return scaled / timescale - (scaled % timescale != 0 && scaled < 0 ? 1 : 0);
}

// ffprobe's packets per kind of stream ("video", "audio"), in its order (decode order).
std::map<std::string, std::vector<Packet>> Ffprobe(const std::string& path)
{
    const std::string text = RunShell("ffprobe -v error -show_data_hash adler32 -show_entries "
                                      "stream=codec_type,time_base:packet=stream_index,pts,dts,flags,data_hash -of flat '" + path + "'");
    std::map<std::string, std::string> values;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            std::string value = line.substr(equals + 1);
            if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
            values[line.substr(0, equals)] = value;
        }
        if (end == std::string::npos) break;
        at = end + 1;
    }
    std::map<std::string, std::vector<Packet>> packets;
    for (int i = 0; values.count("packets.packet." + std::to_string(i) + ".stream_index") != 0; ++i) {
        const std::string key = "packets.packet." + std::to_string(i) + ".";
        const std::string stream = "streams.stream." + values[key + "stream_index"] + ".";
        const std::string base = values[stream + "time_base"];
        const int64_t timescale = std::atoll(base.c_str() + base.find('/') + 1);
        Packet packet;
        packet.dts90k = To90k(std::atoll(values[key + "dts"].c_str()), timescale);
        packet.pts90k = To90k(std::atoll(values[key + "pts"].c_str()), timescale);
        packet.key = values[key + "flags"].front() == 'K';
        packet.hash = values[key + "data_hash"];
        packets[values[stream + "codec_type"]].push_back(packet);
    }
    return packets;
}

class Mp4Files : public MediaSuite<Mp4Files> {
protected:
    friend class MediaSuite<Mp4Files>;
    static void MakeFiles()
    {
        const std::string sources = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 "
                                    "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 3 -g 25 -preset veryfast ";
        const std::string h264 = sources + "-c:v libx264 -bf 2 ";
        RunShell(h264 + "-c:a aac -movflags +faststart " + Path("fast.mp4"));
        RunShell(h264 + "-c:a aac " + Path("end.mp4"));
        RunShell(h264 + "-c:a aac -movflags +negative_cts_offsets " + Path("signed.mp4"));
        RunShell(h264 + "-c:a libmp3lame " + Path("mp3.mp4"));
        RunShell(h264 + "-c:a ac3 " + Path("ac3.mp4"));
        RunShell(h264 + "-c:a aac " + Path("clip.mov"));
        RunShell(sources + "-c:v libx265 -x265-params log-level=error -tag:v hvc1 -c:a aac " + Path("hevc.mp4"));
        // The audio starts later: a leading empty edit.
        RunShell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -itsoffset 0.5 -f lavfi "
                 "-i sine=sample_rate=48000 -t 3 -g 25 -preset veryfast -c:v libx264 -c:a aac " + Path("late.mp4"));
        RunShell(h264 + "-c:a aac -movflags frag_keyframe+empty_moov " + Path("fragmented.mp4"));
    }
};

// An open file descriptor, closed at the end of the test.
struct OpenFile {
    explicit OpenFile(const std::string& path) : fd(open(path.c_str(), O_RDONLY)) {}
    ~OpenFile()
    {
        if (fd >= 0) close(fd);
    }
    int fd;
};

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

uint64_t Big(const std::string& bytes, std::size_t at, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | uint8_t(bytes[at + std::size_t(i)]);
    return value;
}

std::string Big(uint64_t value, int count)
{
    std::string bytes;
    for (int i = count - 1; i >= 0; --i) bytes += char(value >> (8 * i));
    return bytes;
}

// The boxes of body with every stco turned into co64 and its offsets moved by shift.
std::string Widen(const std::string& body, uint64_t shift)
{
    std::string out;
    for (std::size_t at = 0; at + 8 <= body.size();) {
        const std::size_t size = Big(body, at, 4);
        const std::string type = body.substr(at + 4, 4);
        std::string inner = body.substr(at + 8, size - 8);
        if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
            inner = Widen(inner, shift);
        } else if (type == "stco") {
            std::string wide = inner.substr(0, 8);
            for (std::size_t entry = 8; entry + 4 <= inner.size(); entry += 4) wide += Big(Big(inner, entry, 4) + shift, 8);
            inner = wide;
        }
        out += Big(inner.size() + 8, 4) + (type == "stco" ? "co64" : type) + inner;
        at += size;
    }
    return out;
}

// What writers do for files above 4 GiB: the media box with a 64-bit size, co64 chunk
// offsets. Expects the movie box after the media box.
std::string Widened(const std::string& file)
{
    std::string out;
    for (std::size_t at = 0; at + 8 <= file.size();) {
        const std::size_t size = Big(file, at, 4);
        const std::string type = file.substr(at + 4, 4);
        if (type == "mdat") out += Big(1, 4) + "mdat" + Big(size + 8, 8) + file.substr(at + 8, size - 8);
        else out += type == "moov" ? Widen(file.substr(at, size), 8) : file.substr(at, size);
        at += size;
    }
    return out;
}

TEST_F(Mp4Files, EverySampleMatchesFfprobeInTimeKeyAndBytes)
{
    const struct {
        const char* name;
        Mp4Codec    video, audio;
    } files[] = {
        {"fast.mp4", Mp4Codec::kH264, Mp4Codec::kAac},  {"end.mp4", Mp4Codec::kH264, Mp4Codec::kAac},
        {"signed.mp4", Mp4Codec::kH264, Mp4Codec::kAac}, {"mp3.mp4", Mp4Codec::kH264, Mp4Codec::kMp3},
        {"ac3.mp4", Mp4Codec::kH264, Mp4Codec::kAc3},   {"clip.mov", Mp4Codec::kH264, Mp4Codec::kAac},
        {"hevc.mp4", Mp4Codec::kHevc, Mp4Codec::kAac},  {"late.mp4", Mp4Codec::kH264, Mp4Codec::kAac},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        OpenFile input(Path(file.name));
        Mp4Reader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(input.fd, error)) << error;
        ASSERT_EQ(reader.tracks().size(), 2u);
        EXPECT_EQ(reader.tracks()[0].codec, file.video);
        EXPECT_EQ(reader.tracks()[1].codec, file.audio);
        EXPECT_EQ(reader.tracks()[0].config.at(0), 1);               // avcC / hvcC version
        if (file.audio == Mp4Codec::kAac) {
            EXPECT_GE(reader.tracks()[1].config.size(), 2u);
        }

        auto probed = Ffprobe(Path(file.name));
        std::vector<Packet> ours[2];
        Mp4Sample sample;
        std::vector<uint8_t> data;
        int64_t last_dts = 0, lowest = INT64_MAX;
        while (reader.Next(sample)) {
            ASSERT_TRUE(reader.ReadSample(sample, data));
            EXPECT_GE(sample.dts90k, last_dts) << "decode order across the tracks";
            last_dts = sample.dts90k;
            lowest = std::min({lowest, sample.dts90k, sample.pts90k});
            char hash[32];
            std::snprintf(hash, sizeof hash, "adler32:%08x", Adler32(data));
            ours[sample.track].push_back(Packet{sample.dts90k, sample.pts90k, sample.key, hash});
        }
        EXPECT_EQ(lowest, 0);
        const std::vector<Packet>* theirs[2] = {&probed["video"], &probed["audio"]};
        ASSERT_FALSE(theirs[0]->empty());
        const int64_t shift = ours[0][0].dts90k - (*theirs[0])[0].dts90k;   // ours start at 0
        for (int t = 0; t < 2; ++t) {
            ASSERT_EQ(ours[t].size(), theirs[t]->size()) << "track " << t;
            for (std::size_t i = 0; i < ours[t].size(); ++i) {
                const Packet& a = ours[t][i];
                const Packet& b = (*theirs[t])[i];
                ASSERT_NEAR(a.dts90k - shift, b.dts90k, 1) << "track " << t << " sample " << i;
                ASSERT_NEAR(a.pts90k - shift, b.pts90k, 1) << "track " << t << " sample " << i;
                ASSERT_EQ(a.key, b.key) << "track " << t << " sample " << i;
                ASSERT_EQ(a.hash, b.hash) << "track " << t << " sample " << i;
            }
        }
        EXPECT_GE(reader.end90k(), ours[0].back().dts90k);
    }
}

TEST_F(Mp4Files, SixtyFourBitSizesAndOffsetsReadTheSameSamples)
{
    dir_->WriteBytes("wide.mp4", Bytes(Widened(dir_->ReadFile("end.mp4"))));
    OpenFile narrow_file(Path("end.mp4")), wide_file(Path("wide.mp4"));
    Mp4Reader narrow, wide;
    std::string error;
    ASSERT_TRUE(narrow.Open(narrow_file.fd, error)) << error;
    ASSERT_TRUE(wide.Open(wide_file.fd, error)) << error;
    Mp4Sample a, b;
    std::vector<uint8_t> bytes_a, bytes_b;
    int count = 0;
    while (narrow.Next(a)) {
        ASSERT_TRUE(wide.Next(b));
        EXPECT_EQ(b.offset, a.offset + 8);
        EXPECT_EQ(b.dts90k, a.dts90k);
        ASSERT_TRUE(narrow.ReadSample(a, bytes_a) && wide.ReadSample(b, bytes_b));
        ASSERT_EQ(bytes_a, bytes_b) << "sample " << count;
        ++count;
    }
    EXPECT_FALSE(wide.Next(b));
    EXPECT_GT(count, 100);
}

TEST_F(Mp4Files, SeekStartsAtTheLastKeyFrameBeforeTheTimeWithAudioFromThere)
{
    OpenFile input(Path("fast.mp4"));
    Mp4Reader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(input.fd, error)) << error;
    std::vector<Mp4Sample> keys;
    Mp4Sample sample;
    int64_t first_audio = -1;
    while (reader.Next(sample)) {
        if (sample.track == 0 && sample.key) keys.push_back(sample);
        if (sample.track == 1 && first_audio < 0) first_audio = sample.dts90k;
    }
    ASSERT_EQ(keys.size(), 3u);                                      // one a second
    for (int64_t target : {keys[1].dts90k - 1, keys[1].dts90k, keys[2].dts90k - 1, keys[2].dts90k + 45000}) {
        reader.Seek(target);
        const Mp4Sample& expected = target < keys[1].dts90k ? keys[0] : target < keys[2].dts90k ? keys[1] : keys[2];
        ASSERT_TRUE(reader.Next(sample));
        EXPECT_EQ(sample.track, 0);
        EXPECT_TRUE(sample.key);
        EXPECT_EQ(sample.dts90k, expected.dts90k);
        EXPECT_EQ(sample.offset, expected.offset);
        while (reader.Next(sample) && sample.track == 0) {}
        EXPECT_EQ(sample.track, 1);
        EXPECT_GE(sample.dts90k, expected.dts90k);
        EXPECT_LE(sample.dts90k, std::max(expected.dts90k + 1920, first_audio));   // one AAC frame at 48 kHz
    }
}

TEST_F(Mp4Files, FragmentedCutAndMisplacedFilesAreRefusedWithoutHarm)
{
    std::string error;
    {
        OpenFile input(Path("fragmented.mp4"));
        Mp4Reader reader;
        EXPECT_FALSE(reader.Open(input.fd, error));
        EXPECT_NE(error.find("fragmented"), std::string::npos) << error;
    }
    const std::string fast = dir_->ReadFile("fast.mp4");
    const std::string end = dir_->ReadFile("end.mp4");
    // The movie box at the end, cut off.
    dir_->WriteBytes("cut_end.mp4", Bytes(end.substr(0, end.size() - 100)));
    {
        OpenFile input(Path("cut_end.mp4"));
        Mp4Reader reader;
        EXPECT_FALSE(reader.Open(input.fd, error));
    }
    // The movie box first, the media cut: the samples past the end are refused.
    dir_->WriteBytes("cut_media.mp4", Bytes(fast.substr(0, fast.size() / 2)));
    // The first chunk offset pointing past the end of the file.
    std::string moved = fast;
    const std::size_t stco = moved.find("stco");
    ASSERT_NE(stco, std::string::npos);
    moved.replace(stco + 12, 4, "\xFF\xFF\xFF\x00", 4);
    dir_->WriteBytes("moved.mp4", Bytes(moved));
    for (const char* name : {"cut_media.mp4", "moved.mp4"}) {
        OpenFile input(Path(name));
        Mp4Reader reader;
        ASSERT_TRUE(reader.Open(input.fd, error)) << error;
        Mp4Sample sample;
        std::vector<uint8_t> data;
        int read = 0, refused = 0;
        while (reader.Next(sample)) (reader.ReadSample(sample, data) ? read : refused)++;
        EXPECT_GT(read, 0) << name;
        EXPECT_GT(refused, 0) << name;
    }
}

// Each file played whole as a channel: a transport stream that ffmpeg decodes without a word,
// with the file's codecs and its length within 1 %.
TEST_F(Mp4Files, EveryKindOfFileRemuxesToATransportStreamOfTheSameCodecsAndLength)
{
    const std::string probe = "ffprobe -v error -show_entries stream=codec_name -of csv=p=0 ";
    const std::string length = "ffprobe -v error -show_entries format=duration -of csv=p=0 ";
    for (const char* name : {"fast.mp4", "signed.mp4", "mp3.mp4", "ac3.mp4", "hevc.mp4", "late.mp4", "clip.mov"}) {
        std::vector<uint8_t> ts;
        Mp4Remuxer remuxer([&](const uint8_t* block, int size) { ts.insert(ts.end(), block, block + size); });
        OpenFile input(Path(name));
        std::string error;
        ASSERT_TRUE(remuxer.Open(input.fd, error)) << name << ": " << error;
        while (remuxer.WriteNext()) {
        }
        remuxer.Finish();
        dir_->WriteBytes("remuxed.ts", ts);
        const std::string out = Path("remuxed.ts");
        EXPECT_EQ(RunShell("ffmpeg -nostdin -v error -i " + out + " -f null - 2>&1"), "") << name;
        EXPECT_EQ(RunShell(probe + out + " | tr -d , | grep . | sort -u"), RunShell(probe + Path(name) + " | tr -d , | grep . | sort -u")) << name;
        const double film = std::atof(RunShell(length + Path(name)).c_str());
        EXPECT_NEAR(std::atof(RunShell(length + out).c_str()), film, film / 100) << name;
    }
}

}  // namespace
