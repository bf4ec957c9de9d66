#include "media/media_file.h"
#include "media/probe.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"
#include "support/ts_builder.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

void PutBig32(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value)
{
    bytes[at]     = static_cast<uint8_t>(value >> 24);
    bytes[at + 1] = static_cast<uint8_t>(value >> 16);
    bytes[at + 2] = static_cast<uint8_t>(value >> 8);
    bytes[at + 3] = static_cast<uint8_t>(value);
}

void PutLittle(std::vector<uint8_t>& bytes, std::size_t at, uint64_t value, int count)
{
    for (int i = 0; i < count; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// An MP4-like file of size bytes with a version-0 movie header at mvhd_at.
std::vector<uint8_t> Mp4(std::size_t size, std::size_t mvhd_at, uint32_t time_scale, uint32_t duration)
{
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data() + mvhd_at, "mvhd", 4);
    if (mvhd_at + 24 <= size) {
        PutBig32(bytes, mvhd_at + 16, time_scale);
        PutBig32(bytes, mvhd_at + 20, duration);
    }
    return bytes;
}

const uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};

// An ASF header holding one 50-byte object of another kind and then the File Properties
// Object with the maximum bitrate.
std::vector<uint8_t> Asf(uint32_t max_bitrate)
{
    const std::size_t header_size = 30 + 50 + 104;
    std::vector<uint8_t> bytes(header_size + 500, 0);
    std::memcpy(bytes.data(), kHeaderGuid, 16);
    PutLittle(bytes, 16, header_size, 8);
    PutLittle(bytes, 30 + 16, 50, 8);
    const std::size_t properties = 30 + 50;
    std::memcpy(bytes.data() + properties, kFilePropertiesGuid, 16);
    PutLittle(bytes, properties + 16, 104, 8);
    PutLittle(bytes, properties + 100, max_bitrate, 4);
    return bytes;
}

// 3 760 000 bytes (20 000 packets) whose video PTS span 900 000 ticks.
std::vector<uint8_t> TsOf3008Kbps()
{
    TsBuilder ts;
    ts.Pat().Pmt().VideoPes(0x101, 90000, true, 0);
    ts.Null(20000 - 3 - 3);
    ts.VideoPes(0x101, 990000).Null(2);
    return ts.Bytes();
}

// A sparse file of size bytes holding only the given pieces (offset, bytes).
void WriteSparse(const std::string& path, int64_t size,
                 const std::vector<std::pair<int64_t, std::vector<uint8_t>>>& pieces)
{
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (const auto& [offset, bytes] : pieces)
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

// Sets the file's modification time seconds_later than it is, so that a rewrite counts as a
// change even within one tick of the file system's clock.
void MoveModificationTime(const std::string& path, int seconds_later)
{
    struct stat info{};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    timespec times[2] = {info.st_atim, info.st_mtim};
    times[1].tv_sec += seconds_later;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr uint64_t kScanLimit = uint64_t{4} << 20;

struct ProbeFixture : ::testing::Test {
    TempWorkDir dir;
    std::string Path(const std::string& name) const { return dir.PathOf(name); }
};

using ChoosingTheProbe = ProbeFixture;

TEST_F(ChoosingTheProbe, NameRulesAreTestedInOrderOnSubstrings)
{
    dir.WriteBytes("clip.ts.mp4", Mp4(7500000, 100, 600, 36000));
    dir.WriteBytes("show.wmv.ts", Asf(2000000));
    dir.WriteBytes("movie.tsx", TsOf3008Kbps());
    dir.WriteBytes("movie.avi", TsOf3008Kbps());
    EXPECT_EQ(probe_bitrate_kbps(Path("clip.ts.mp4").c_str()), 1000);
    EXPECT_EQ(probe_bitrate_kbps(Path("show.wmv.ts").c_str()), 2000);
    EXPECT_EQ(probe_bitrate_kbps(Path("movie.tsx").c_str()), 3008);
    EXPECT_EQ(probe_bitrate_kbps(Path("movie.avi").c_str()), 1024);
}

using TransportStreamProbe = ProbeFixture;

TEST_F(TransportStreamProbe, GivesSizeOverThePtsSpan)
{
    dir.WriteBytes("a.ts", TsOf3008Kbps());
    EXPECT_EQ(ts_bitrate_kbps(Path("a.ts").c_str()), 3008);
}

TEST_F(TransportStreamProbe, ASinglePesGives1024)
{
    dir.WriteBytes("one.ts", TsBuilder().Pat().Pmt().VideoPes(0x101, 90000).Null(50).Bytes());
    EXPECT_EQ(ts_bitrate_kbps(Path("one.ts").c_str()), 1024);
}

TEST_F(TransportStreamProbe, ASpanBelowOneMillisecondOrBackwardsGives1024)
{
    dir.WriteBytes("short.ts", TsBuilder().VideoPes(0x101, 90000).Null(5).VideoPes(0x101, 90089).Bytes());
    EXPECT_EQ(ts_bitrate_kbps(Path("short.ts").c_str()), 1024);
    dir.WriteBytes("back.ts", TsBuilder().VideoPes(0x101, 900000).Null(5).VideoPes(0x101, 90000).Bytes());
    EXPECT_EQ(ts_bitrate_kbps(Path("back.ts").c_str()), 1024);
}

TEST_F(TransportStreamProbe, BadFilesGiveTheirSpecialValues)
{
    EXPECT_EQ(ts_bitrate_kbps(Path("missing.ts").c_str()), 1000);
    dir.WriteFile("empty.ts", "");
    EXPECT_EQ(ts_bitrate_kbps(Path("empty.ts").c_str()), -1);
    dir.WriteBytes("zero.ts", std::vector<uint8_t>(188 * 4, 0));
    EXPECT_EQ(ts_bitrate_kbps(Path("zero.ts").c_str()), 1024);
    dir.WriteBytes("novideo.ts", TsBuilder().Pat().Pmt().Null(10).Bytes());
    EXPECT_EQ(ts_bitrate_kbps(Path("novideo.ts").c_str()), 1000);
    auto cut = TsBuilder().Pat().Bytes();
    cut.resize(120);
    dir.WriteBytes("cut.ts", cut);
    EXPECT_EQ(ts_bitrate_kbps(Path("cut.ts").c_str()), 1000);
}

TEST_F(TransportStreamProbe, SkipsTablesNullsAndAdaptationOnlyPackets)
{
    TsBuilder ts;
    ts.Pat().Pmt().Pcr(0x101, 1).Payload(0x1FFF).VideoPes(0x101, 90000);
    ts.Null(100).VideoPes(0x101, 90000 + 90 * 1000).Pcr(0x101, 2).Null(1);
    dir.WriteBytes("mixed.ts", ts.Bytes());
    EXPECT_EQ(ts_bitrate_kbps(Path("mixed.ts").c_str()), static_cast<int32_t>(ts.Size() * 8 / 1000));
}

TEST_F(TransportStreamProbe, ReadsOnlyTheEndsOfALargeFile)
{
    const std::string path = Path("big.ts");
    const auto head = TsBuilder().Pat().Pmt().VideoPes(0x101, 90000).Bytes();
    const auto tail = TsBuilder().VideoPes(0x101, 90000 + 90 * 60000).Null(3).Bytes();
    const int64_t size = int64_t{1} << 30;
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    const int64_t tail_at = (size / 188) * 188 - static_cast<int64_t>(tail.size());
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), tail_at), static_cast<ssize_t>(tail.size()));
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    const uint64_t before = ProbeBytesRead();
    EXPECT_EQ(ts_bitrate_kbps(path.c_str()), static_cast<int32_t>(size * 8 / 60000));
    EXPECT_LT(ProbeBytesRead() - before, 4096u);
}

using ProbesOfHugeFiles = ProbeFixture;

TEST_F(ProbesOfHugeFiles, AMovieHeaderFarFromBothEndsIsNotSearchedFor)
{
    const std::string path = Path("big.mp4");
    WriteSparse(path, 3 * kGiB, {{kGiB, Mp4(24, 0, 600, 36000)}});
    const uint64_t before = ProbeBytesRead();
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(path.c_str()), 0.0);
    EXPECT_LE(ProbeBytesRead() - before, kScanLimit + 10240);
}

TEST_F(ProbesOfHugeFiles, AMovieHeaderNearTheEndIsStillFound)
{
    const std::string path = Path("tail.mp4");
    WriteSparse(path, 3 * kGiB, {{3 * kGiB - 3 * 1024 * 1024, Mp4(24, 0, 600, 36000)}});
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(path.c_str()), 60.0);
}

TEST_F(ProbesOfHugeFiles, ATransportStreamWithoutASecondPtsNearTheEndIsGivenUp)
{
    // Five megabytes of null packets end the file: the walk back stops before reaching them all.
    const std::string path = Path("big.ts");
    const int64_t size = 2 * kGiB;
    const auto tail = TsBuilder().Null(5 * 1024 * 1024 / 188).Bytes();
    const int64_t tail_at = (size / 188) * 188 - static_cast<int64_t>(tail.size());
    WriteSparse(path, size, {{0, TsBuilder().Pat().Pmt().VideoPes(0x101, 90000).Bytes()}, {tail_at, tail}});
    const uint64_t before = ProbeBytesRead();
    EXPECT_EQ(ts_bitrate_kbps(path.c_str()), 1024);
    EXPECT_LE(ProbeBytesRead() - before, kScanLimit + 3 * 188);
}

TEST_F(ProbesOfHugeFiles, ATransportStreamWithoutVideoNearTheStartIsGivenUp)
{
    const std::string path = Path("novideo.ts");
    WriteSparse(path, 2 * kGiB, {{0, TsBuilder().Null(5 * 1024 * 1024 / 188).Bytes()}});
    const uint64_t before = ProbeBytesRead();
    EXPECT_EQ(ts_bitrate_kbps(path.c_str()), 1000);
    EXPECT_LE(ProbeBytesRead() - before, kScanLimit + 188);
}

TEST_F(ProbesOfHugeFiles, AnAsfHeaderClaimingTheWholeFileIsReadOnlyInPart)
{
    // A header object as large as the 1 GiB file, its first object of size 0.
    std::vector<uint8_t> header(30, 0);
    std::memcpy(header.data(), kHeaderGuid, 16);
    PutLittle(header, 16, kGiB, 8);
    const std::string path = Path("huge.wmv");
    WriteSparse(path, kGiB, {{0, header}});
    const uint64_t before = ProbeBytesRead();
    EXPECT_EQ(asf_bitrate_kbps(path.c_str()), 0);
    EXPECT_LE(ProbeBytesRead() - before, kScanLimit + 30);
}

using RememberedProbes = ProbeFixture;

TEST_F(RememberedProbes, AFileIsReadAndLoggedOnlyOnce)
{
    dir.WriteBytes("film.mp4", Mp4(1250000, 64, 1000, 100000));    // 100 kbit/s, 100 s
    const std::string path = Path("film.mp4");
    StderrCapture log;
    EXPECT_EQ(probe_bitrate_kbps(path.c_str()), 100);
    const uint64_t before = ProbeBytesRead();
    EXPECT_EQ(probe_bitrate_kbps(path.c_str()), 100);
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(path.c_str()), 100.0);
    EXPECT_EQ(vod_duration_seconds(path.c_str()), 100);
    EXPECT_EQ(ProbeBytesRead() - before, 0u);
    const std::string text = log.Text();
    const std::string probe_line = "Filename=" + path + ", Duration_Sec=100.000000\n";
    ASSERT_NE(text.find(probe_line), std::string::npos);
    EXPECT_EQ(text.find(probe_line, text.find(probe_line) + 1), std::string::npos);
}

TEST_F(RememberedProbes, AChangedFileIsProbedAnew)
{
    const std::string path = Path("film.mp4");
    dir.WriteBytes("film.mp4", Mp4(7500000, 32, 600, 36000));      // 60 s
    EXPECT_EQ(probe_bitrate_kbps(path.c_str()), 1000);
    dir.WriteBytes("film.mp4", Mp4(7500000, 32, 600, 72000));      // same size, 120 s
    MoveModificationTime(path, 100);
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(path.c_str()), 120.0);
    EXPECT_EQ(probe_bitrate_kbps(path.c_str()), 500);
    dir.WriteBytes("film.mp4", Mp4(15000000, 32, 600, 72000));     // grown
    EXPECT_EQ(probe_bitrate_kbps(path.c_str()), 1000);
    unlink(path.c_str());
    EXPECT_EQ(probe_bitrate_kbps(path.c_str()), 0);                 // gone: no duration
}

TEST_F(RememberedProbes, OnlyTheRecentFilesAreKept)
{
    dir.WriteBytes("first.mp4", Mp4(7500000, 32, 600, 36000));
    const std::string first = Path("first.mp4");
    EXPECT_EQ(probe_bitrate_kbps(first.c_str()), 1000);
    for (int i = 0; i < 300; ++i) {
        const std::string name = "other" + std::to_string(i) + ".avi";
        dir.WriteFile(name, "x");
        EXPECT_EQ(probe_bitrate_kbps(Path(name).c_str()), 1024);
    }
    const uint64_t before = ProbeBytesRead();
    EXPECT_EQ(probe_bitrate_kbps(first.c_str()), 1000);
    EXPECT_GT(ProbeBytesRead() - before, 0u);                        // forgotten, read again
}

TEST_F(RememberedProbes, ManyThreadsShareTheResults)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "clip" + std::to_string(i) + ".mp4";
        dir.WriteBytes(name, Mp4(static_cast<std::size_t>(1000 * (i + 1)), 0, 1, 8));   // i + 1 kbit/s
        paths.push_back(Path(name));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&paths, t] {
            for (int round = 0; round < 20; ++round)
                for (std::size_t i = 0; i < paths.size(); ++i) {
                    const std::size_t at = (i + static_cast<std::size_t>(t) * 7) % paths.size();
                    EXPECT_EQ(probe_bitrate_kbps(paths[at].c_str()), static_cast<int32_t>(at + 1));
                }
        });
    }
    for (auto& thread : threads) thread.join();
}

using MovieHeaderProbe = ProbeFixture;

TEST_F(MovieHeaderProbe, ReadsDurationAndBitrate)
{
    dir.WriteBytes("a.mp4", Mp4(7500000, 32, 600, 36000));
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("a.mp4").c_str()), 60.0);
    EXPECT_EQ(mp4_bitrate_kbps(Path("a.mp4").c_str()), 1000);
}

TEST_F(MovieHeaderProbe, FindsAHeaderNearTheEndByWalkingBackward)
{
    dir.WriteBytes("end.mp4", Mp4(100000, 100000 - 120, 1000, 50000));
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("end.mp4").c_str()), 50.0);
    dir.WriteBytes("middle.mp4", Mp4(100000, 100000 - 3 * 10240 + 5, 1000, 20000));
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("middle.mp4").c_str()), 20.0);
}

TEST_F(MovieHeaderProbe, AHeaderCutOffAtTheEndOfTheFileHasNoDuration)
{
    dir.WriteBytes("cut.mp4", Mp4(20000, 20000 - 4, 0, 0));
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("cut.mp4").c_str()), 0.0);
    dir.WriteBytes("cut2.mp4", Mp4(20000, 20000 - 22, 0, 0));
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("cut2.mp4").c_str()), 0.0);
}

TEST_F(MovieHeaderProbe, NoHeaderOrNoDurationGivesZero)
{
    dir.WriteBytes("none.mp4", std::vector<uint8_t>(50000, 0x11));
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("none.mp4").c_str()), 0.0);
    EXPECT_EQ(mp4_bitrate_kbps(Path("none.mp4").c_str()), 0);
    dir.WriteBytes("zero.mov", Mp4(5000, 10, 600, 0));
    EXPECT_EQ(probe_bitrate_kbps(Path("zero.mov").c_str()), 0);
    dir.WriteBytes("scale0.3gp", Mp4(5000, 10, 0, 600));
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("scale0.3gp").c_str()), 0.0);
    EXPECT_EQ(probe_bitrate_kbps(Path("scale0.3gp").c_str()), 0);
    EXPECT_DOUBLE_EQ(mp4_duration_seconds(Path("missing.mp4").c_str()), 0.0);
    EXPECT_EQ(mp4_bitrate_kbps(Path("missing.mp4").c_str()), 0);
    dir.WriteFile("empty.mp4", "");
    EXPECT_EQ(mp4_bitrate_kbps(Path("empty.mp4").c_str()), 0);
}

using AsfProbe = ProbeFixture;

TEST_F(AsfProbe, ReadsTheMaximumBitrateOfTheFileProperties)
{
    dir.WriteBytes("a.wmv", Asf(1536999));
    EXPECT_EQ(asf_bitrate_kbps(Path("a.wmv").c_str()), 1536);
}

TEST_F(AsfProbe, AnythingElseGivesZero)
{
    auto wrong_guid = Asf(1000000);
    wrong_guid[0] ^= 1;
    dir.WriteBytes("guid.wmv", wrong_guid);
    EXPECT_EQ(asf_bitrate_kbps(Path("guid.wmv").c_str()), 0);

    auto zero_size = Asf(1000000);
    PutLittle(zero_size, 30 + 16, 0, 8);
    dir.WriteBytes("zero.wmv", zero_size);
    EXPECT_EQ(asf_bitrate_kbps(Path("zero.wmv").c_str()), 0);

    auto past_end = Asf(1000000);
    PutLittle(past_end, 30 + 16, uint64_t{1} << 62, 8);
    dir.WriteBytes("past.wmv", past_end);
    EXPECT_EQ(asf_bitrate_kbps(Path("past.wmv").c_str()), 0);

    auto huge_header = Asf(1000000);
    PutLittle(huge_header, 16, ~uint64_t{0}, 8);       // the header claims more than the file
    dir.WriteBytes("huge.wmv", huge_header);
    EXPECT_EQ(asf_bitrate_kbps(Path("huge.wmv").c_str()), 1000);

    auto cut = Asf(1000000);
    cut.resize(30 + 50 + 60);                          // the properties object is cut short
    PutLittle(cut, 16, 30 + 50 + 104, 8);
    dir.WriteBytes("cut.wmv", cut);
    EXPECT_EQ(asf_bitrate_kbps(Path("cut.wmv").c_str()), 0);

    dir.WriteBytes("tiny.wmv", std::vector<uint8_t>(kHeaderGuid, kHeaderGuid + 16));
    EXPECT_EQ(asf_bitrate_kbps(Path("tiny.wmv").c_str()), 0);
    EXPECT_EQ(asf_bitrate_kbps(Path("missing.wmv").c_str()), 0);
}

using VodDuration = ProbeFixture;

TEST_F(VodDuration, IsSizeOverTheProbedRate)
{
    dir.WriteBytes("film.mp4", Mp4(1250000, 64, 1000, 100000));    // 100 kbit/s
    EXPECT_EQ(vod_duration_seconds(Path("film.mp4").c_str()), 100);
}

TEST_F(VodDuration, IsZeroWhenTheRateOrSizeIsUnknown)
{
    dir.WriteFile("empty.ts", "");
    EXPECT_EQ(vod_duration_seconds(Path("empty.ts").c_str()), 0);
    EXPECT_EQ(vod_duration_seconds(Path("missing.avi").c_str()), 0);
}

}  // namespace
