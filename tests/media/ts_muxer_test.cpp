// The muxer fed with access units cut from elementary streams that ffmpeg makes; ffmpeg and
// ffprobe judge the result, and a walk over its packets checks the timing promises.

#include "media/ts_muxer.h"

#include "support/media_suite.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Unit {
    Bytes   data;
    int64_t pts = 0;
    int64_t dts = 0;
    bool    key = false;
};

Bytes ReadAll(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// The NAL units of an Annex B stream, without their start codes.
std::vector<Bytes> NalUnits(const Bytes& stream)
{
    std::vector<Bytes> units;
    std::size_t start = std::string::npos;
    for (std::size_t i = 0; i + 3 <= stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
        if (start != std::string::npos) {
            std::size_t end = i;
            while (end > start && stream[end - 1] == 0) --end;
            units.emplace_back(stream.begin() + static_cast<long>(start), stream.begin() + static_cast<long>(end));
        }
        start = i + 3;
        i += 2;
    }
    if (start != std::string::npos) units.emplace_back(stream.begin() + static_cast<long>(start), stream.end());
    return units;
}

// Cuts a video stream that the encoder wrote with delimiters into samples as a file would hold
// them: 4-byte lengths, no delimiters, the parameter sets kept aside in a decoder record; then
// turns them back into Annex B access units with our converter.
std::vector<Unit> VideoUnits(const Bytes& stream, VideoCodec codec, int64_t first_dts, int64_t frame, int64_t pts_lead)
{
    const bool avc = codec == VideoCodec::kH264;
    std::vector<Bytes> samples;
    std::vector<Bytes> sets[3];                            // VPS, SPS, PPS
    for (const Bytes& nal : NalUnits(stream)) {
        const int type = avc ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
        const int set = avc ? (type == 7 ? 1 : type == 8 ? 2 : -1) : (type >= 32 && type <= 34 ? type - 32 : -1);
        if (type == (avc ? 9 : 35)) {
            samples.emplace_back();
        } else if (set >= 0) {
            if (sets[set].empty()) sets[set].push_back(nal);
        } else if (!samples.empty()) {
            const uint32_t n = static_cast<uint32_t>(nal.size());
            samples.back().insert(samples.back().end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
            samples.back().insert(samples.back().end(), nal.begin(), nal.end());
        }
    }
    Bytes record(avc ? 5 : 22, 0);
    record[avc ? 4 : 21] = 0xFF;                           // 4-byte lengths
    auto add = [&record](const Bytes& nal) {
        record.insert(record.end(), {uint8_t(nal.size() >> 8), uint8_t(nal.size())});
        record.insert(record.end(), nal.begin(), nal.end());
    };
    if (avc) {
        record.push_back(0xE1);
        add(sets[1][0]);
        record.push_back(1);
        add(sets[2][0]);
    } else {
        record.push_back(3);
        for (int i = 0; i < 3; ++i) {
            record.insert(record.end(), {uint8_t(0xA0 + i), 0, 1});
            add(sets[i][0]);
        }
    }
    VideoConfig config;
    EXPECT_TRUE(avc ? ParseAvcConfig(record.data(), record.size(), config)
                    : ParseHevcConfig(record.data(), record.size(), config));
    std::vector<Unit> units;
    for (const Bytes& sample : samples) {
        Unit unit;
        EXPECT_TRUE(AppendAnnexB(unit.data, sample.data(), sample.size(), config.nal_length_size, codec, &config));
        const std::size_t after_delimiter = avc ? 6 : 7;
        unit.key = unit.data.size() > after_delimiter + 4 && unit.data[after_delimiter + 4] == (avc ? 0x67 : 0x40);
        unit.dts = first_dts + frame * static_cast<int64_t>(units.size());
        unit.pts = unit.dts + pts_lead;
        units.push_back(std::move(unit));
    }
    return units;
}

// ADTS frames stripped to raw AAC and given fresh headers from an AudioSpecificConfig.
std::vector<Unit> AacUnits(const Bytes& stream, int64_t first_dts)
{
    std::vector<Unit> units;
    for (std::size_t at = 0; at + 7 <= stream.size();) {
        const uint8_t* h = stream.data() + at;
        const std::size_t length = (static_cast<std::size_t>(h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
        const std::size_t header = (h[1] & 1) ? 7 : 9;
        if (h[0] != 0xFF || length <= header || at + length > stream.size()) break;
        const int object = ((h[2] >> 6) & 3) + 1, rate = (h[2] >> 2) & 0x0F, channels = ((h[2] & 1) << 2) | (h[3] >> 6);
        const uint8_t asc[2] = {uint8_t((object << 3) | (rate >> 1)), uint8_t(((rate & 1) << 7) | (channels << 3))};
        AacConfig config;
        EXPECT_TRUE(ParseAudioSpecificConfig(asc, 2, config));
        Unit unit;
        unit.data.resize(7);
        EXPECT_TRUE(AdtsHeader(config, length - header, unit.data.data()));
        unit.data.insert(unit.data.end(), h + header, h + length);
        unit.dts = unit.pts = first_dts + 1024 * 90000 / config.sample_rate * static_cast<int64_t>(units.size());
        units.push_back(std::move(unit));
        at += length;
    }
    return units;
}

// AC-3 frames at 48 kHz: the size follows from the bit rate code.
std::vector<Unit> Ac3Units(const Bytes& stream, int64_t first_dts)
{
    static const int kKbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
    std::vector<Unit> units;
    for (std::size_t at = 0; at + 5 <= stream.size();) {
        const uint8_t* h = stream.data() + at;
        if (h[0] != 0x0B || h[1] != 0x77 || (h[4] >> 6) != 0 || (h[4] & 0x3F) / 2 >= 19) break;
        const std::size_t length = static_cast<std::size_t>(kKbps[(h[4] & 0x3F) / 2]) * 4;
        if (at + length > stream.size()) break;
        Unit unit;
        unit.data.assign(h, h + length);
        unit.dts = unit.pts = first_dts + 2880 * static_cast<int64_t>(units.size());
        units.push_back(std::move(unit));
        at += length;
    }
    return units;
}

// Muxes both tracks in DTS order; every block the muxer hands out must be a whole one.
Bytes Mux(TsCodec video_codec, const std::vector<Unit>& video, TsCodec audio_codec, const std::vector<Unit>& audio)
{
    Bytes out;
    int bad_blocks = 0;
    TsMuxer muxer({video_codec, audio_codec}, [&](const uint8_t* block, int size) {
        if (size != kTsBlockSize) ++bad_blocks;
        out.insert(out.end(), block, block + size);
    });
    std::size_t v = 0, a = 0;
    while (v < video.size() || a < audio.size()) {
        const bool take_video = a == audio.size() || (v < video.size() && video[v].dts <= audio[a].dts);
        const Unit& unit = take_video ? video[v++] : audio[a++];
        EXPECT_TRUE(muxer.Write(take_video ? 0 : 1, unit.data.data(), unit.data.size(), unit.pts, unit.dts, unit.key));
    }
    muxer.Flush();
    EXPECT_EQ(bad_blocks, 0);
    EXPECT_EQ(out.size() % kTsBlockSize, 0u);
    return out;
}

constexpr int64_t kWrap27M = (int64_t{1} << 33) * 300;

// Walks the packets: sync bytes, continuity per PID, a PCR at most 40 ms after the one before,
// a PAT within every 100 ms of PCR, and PAT and PMT right before each key frame (where players
// and the segment cutter join).
void WalkPackets(const Bytes& ts, uint16_t pcr_pid)
{
    std::map<int, int> counters;
    int before_last = -1, last = -1;
    int64_t last_pcr = -1, pcr_at_last_pat = -1;
    int pats = 0, pcrs = 0;
    for (std::size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize) {
        const uint8_t* p = ts.data() + at;
        ASSERT_EQ(p[0], kTsSyncByte) << "at " << at;
        TsPacketHeader header;
        const int pid = parse_ts_header(p, header);
        if (pid == 0x1FFF) continue;
        const bool discontinuity = header.adaptation_field_flag && p[4] > 0 && (p[5] & 0x80);
        if (header.adaptation_field_flag && p[4] > 0 && (p[5] & 0x40)) {
            EXPECT_TRUE(before_last == 0 && last == 0x1000) << "key frame at " << at;
        }
        before_last = last;
        last = pid;
        if (header.payload_flag) {
            if (counters.count(pid) && !discontinuity) {
                EXPECT_EQ(header.continuity_counter, (counters[pid] + 1) & 0x0F) << "PID " << pid << " at " << at;
            }
            counters[pid] = header.continuity_counter;
        } else if (counters.count(pid)) {
            EXPECT_EQ(header.continuity_counter, counters[pid]) << "a packet without payload keeps the counter";
        }
        int64_t pcr = 0;
        if (pid == pcr_pid && extract_pcr(p, pcr)) {
            if (last_pcr >= 0) {
                const int64_t step = (pcr - last_pcr + kWrap27M) % kWrap27M;
                EXPECT_LE(step, 40 * 27000) << "PCR step at " << at;
            }
            last_pcr = pcr;
            ++pcrs;
        }
        if (pid == 0) {
            EXPECT_TRUE(at == 0 || last_pcr >= 0) << "the stream starts with its tables";
            if (pcr_at_last_pat >= 0) {
                EXPECT_LE((last_pcr - pcr_at_last_pat + kWrap27M) % kWrap27M, 100 * 27000) << "PAT gap at " << at;
            }
            pcr_at_last_pat = last_pcr;
            ++pats;
        }
    }
    EXPECT_GT(pats, 10);
    EXPECT_GT(pcrs, 50);
}

class MuxedClips : public MediaSuite<MuxedClips> {
protected:
    friend class MediaSuite<MuxedClips>;
    static void MakeFiles()
    {
        const std::string ffmpeg = "ffmpeg -nostdin -v error -y -f lavfi -i ";
        const std::string video = "testsrc2=size=320x240:rate=25 -t 4 ";
        const std::string audio = "sine=frequency=1000:sample_rate=48000 -t 4 ";
        RunShell(ffmpeg + video + "-c:v libx264 -preset veryfast -bf 0 -g 25 -x264-params aud=1 -f h264 " + Path("v.264"));
        // A slow picture rate: the PCR must come between the pictures.
        RunShell(ffmpeg + "testsrc2=size=320x240:rate=10 -t 4 -c:v libx265 -preset ultrafast "
                          "-x265-params aud=1:bframes=0:keyint=10:log-level=error -f hevc " + Path("v.265"));
        RunShell(ffmpeg + audio + "-c:a aac -b:a 64k -f adts " + Path("a.aac"));
        RunShell(ffmpeg + audio + "-c:a ac3 -b:a 192k -f ac3 " + Path("a.ac3"));
    }
    static Bytes Read(const std::string& name) { return ReadAll(dir_->ReadFile(name)); }

    // Writes the stream and checks what ffmpeg makes of it: clean decoding, the codecs (in name
    // order), the length within 1 %.
    static void Judge(const Bytes& ts, const std::string& codecs, double seconds)
    {
        dir_->WriteBytes("out.ts", ts);
        const std::string out = Path("out.ts");
        EXPECT_EQ(RunShell("ffmpeg -nostdin -v warning -i " + out + " -f null - 2>&1"), "");
        EXPECT_EQ(RunShell("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + out + " | grep . | sort -u"), codecs);
        const double duration = std::atof(RunShell("ffprobe -v error -show_entries format=duration -of csv=p=0 " + out).c_str());
        EXPECT_NEAR(duration, seconds, seconds / 100);
    }
};

}  // namespace

TEST_F(MuxedClips, H264AndAacFromSamplesDecodeCleanlyWithTablesAndPcrInTime) {
    // B-frame-like PTS lead, so that the DTS is written too.
    const auto video = VideoUnits(Read("v.264"), VideoCodec::kH264, 0, 3600, 3600);
    const auto audio = AacUnits(Read("a.aac"), 0);
    ASSERT_EQ(video.size(), 100u);
    ASSERT_GT(audio.size(), 180u);
    const Bytes ts = Mux(TsCodec::kH264, video, TsCodec::kAac, audio);
    WalkPackets(ts, 0x100);
    Judge(ts, "aac\nh264\n", static_cast<double>(audio.size()) * 1024 / 48000);
}

TEST_F(MuxedClips, HevcAt10FpsAndAc3AcrossTheTimestampWrapDecodeCleanly) {
    const int64_t near_wrap = (int64_t{1} << 33) - 2 * 90000;
    const auto video = VideoUnits(Read("v.265"), VideoCodec::kHevc, near_wrap, 9000, 0);
    const auto audio = Ac3Units(Read("a.ac3"), near_wrap);
    ASSERT_EQ(video.size(), 40u);
    ASSERT_GT(audio.size(), 120u);
    const Bytes ts = Mux(TsCodec::kHevc, video, TsCodec::kAc3, audio);
    WalkPackets(ts, 0x100);
    Judge(ts, "ac3\nhevc\n", static_cast<double>(audio.size()) * 1536 / 48000);
}

TEST(MuxerRestart, ResetMarksEveryPidDiscontinuousAndCountersGoOn) {
    Bytes out;
    TsMuxer muxer({TsCodec::kH264, TsCodec::kAac}, [&](const uint8_t* block, int size) { out.insert(out.end(), block, block + size); });
    const Bytes frame(500, 0x11);
    Bytes big(kMaxAccessUnitSize + 1, 0);
    EXPECT_FALSE(muxer.Write(0, big.data(), big.size(), 0, 0, true));
    EXPECT_FALSE(muxer.Write(2, frame.data(), frame.size(), 0, 0, false));
    EXPECT_FALSE(muxer.Write(1, big.data(), 70000, 0, 0, false));          // one PES packet at most
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(muxer.Write(0, frame.data(), frame.size(), 900000 + i * 3600, 900000 + i * 3600, i == 0));
        ASSERT_TRUE(muxer.Write(1, frame.data(), 200, 900000 + i * 3600, 900000 + i * 3600, false));
    }
    muxer.Flush();
    const std::size_t before = out.size();
    ASSERT_GT(before, 0u);
    muxer.Reset();
    ASSERT_TRUE(muxer.Write(0, frame.data(), frame.size(), 0, 0, true));
    ASSERT_TRUE(muxer.Write(1, frame.data(), 200, 0, 0, false));
    muxer.Flush();
    ASSERT_EQ(out.size() % kTsBlockSize, 0u);

    std::map<int, int> counters;
    std::map<int, bool> flagged;                           // first packet after the reset, per PID
    for (std::size_t at = 0; at < out.size(); at += kTsPacketSize) {
        const uint8_t* p = out.data() + at;
        TsPacketHeader header;
        const int pid = parse_ts_header(p, header);
        if (pid == 0x1FFF) continue;
        if (at >= before && !flagged.count(pid))
            flagged[pid] = header.adaptation_field_flag && p[4] > 0 && (p[5] & 0x80);
        if (!header.payload_flag) continue;
        if (counters.count(pid)) {
            EXPECT_EQ(header.continuity_counter, (counters[pid] + 1) & 0x0F) << "PID " << pid;
        }
        counters[pid] = header.continuity_counter;
    }
    const std::map<int, bool> all = {{0, true}, {0x100, true}, {0x101, true}, {0x1000, true}};
    EXPECT_EQ(flagged, all);
}
