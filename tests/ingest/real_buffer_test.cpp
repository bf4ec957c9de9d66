#include "ingest/real_buffer.h"

#include "support/test_channel.h"
#include "support/ts_builder.h"
#include "support/ts_video.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(JoiningARunningRing, WithOneSlotWrittenTheReaderStartsAtSlotZero)
{
    EXPECT_EQ(filled_count(1, 0), 2);
    EXPECT_EQ(join_point(1, 0), 0);
}

TEST(JoiningARunningRing, DuringTheFirstLapAQuarterOfTheFilledSlotsIsSkipped)
{
    EXPECT_EQ(filled_count(400, 0), 401);
    EXPECT_EQ(join_point(400, 0), 100);
}

TEST(JoiningARunningRing, AfterTheFirstLapAReaderJoins251SlotsAfterTheOldest)
{
    EXPECT_EQ(filled_count(123, 124), 1000);
    EXPECT_EQ(join_point(123, 124), 374);
}

TEST(WritingTheRing, TheOldestIndexFirstMovesWhenSlot999IsWritten)
{
    TestChannel test;
    const auto slot = TsBuilder().Null(7).Bytes();
    for (int i = 0; i < 999; ++i) test.Write(slot);
    EXPECT_EQ(test.channel.input_index.load(), 999);
    EXPECT_EQ(test.channel.time_index.load(), 0);
    test.Write(slot);
    EXPECT_EQ(test.channel.input_index.load(), 0);
    EXPECT_EQ(test.channel.time_index.load(), 1);
    test.Write(slot);
    EXPECT_EQ(test.channel.input_index.load(), 1);
    EXPECT_EQ(test.channel.time_index.load(), 2);
}

TEST(FindingThePat, A1328ByteSlotIsSearchedAfterItsRtpHeader)
{
    const auto slot = TsBuilder().RtpHeader().Null(6).Pat().Bytes();
    ASSERT_EQ(slot.size(), 1328u);
    EXPECT_EQ(find_pat_offset(slot.data(), static_cast<int>(slot.size())), 12 + 6 * 188);
}

TEST(FindingThePat, A1316ByteSlotIsSearchedFromItsStart)
{
    const auto slot = TsBuilder().Null(3).Pat().Null(3).Bytes();
    EXPECT_EQ(find_pat_offset(slot.data(), 1316), 3 * 188);
    const auto none = TsBuilder().Null(7).Bytes();
    EXPECT_EQ(find_pat_offset(none.data(), 1316), -1);
}

TEST(FindingThePat, AByteStreamSlotIsAlignedByTwoSyncBytes)
{
    std::vector<uint8_t> slot(100, 0x47);                 // stray sync bytes, not 188 apart
    slot[0] = 0x00;
    const auto packets = TsBuilder().Null(2).Pat().Null(4).Bytes();
    slot.insert(slot.end(), packets.begin(), packets.end());
    slot.resize(1452, 0x11);
    // 0x47 at 100 and 288 mark the packets; the PAT is the third of them.
    EXPECT_EQ(find_stream_pat_offset(slot.data(), 1452), -1 + 1 + 100 + 2 * 188);
}

TEST(FindingThePat, ThePacketCutOffAtTheSlotEndGivesTheSyncSkip)
{
    EXPECT_EQ(sync_skip_after(1452, 100), 152);            // R = 1352, R mod 188 = 36
    EXPECT_EQ(sync_skip_after(188 * 7 + 50, 50), 0);
}

TEST(Pacing, AReader980SlotsBehindRunsAtFullSpeed)
{
    EXPECT_TRUE(reader_lags(20, 0));                       // 980 behind
    EXPECT_FALSE(reader_lags(21, 0));                      // 979 behind
    EXPECT_TRUE(reader_lags(990, 970));                    // wrapped: still 980 behind
    EXPECT_FALSE(reader_lags(991, 970));
}

std::function<bool()> Never() { return [] { return false; }; }

TEST(ReadingTheRing, ARingWithoutInputOrSourceIsRefused)
{
    TestChannel test;
    RingReader reader(test.channel, false, 1);
    std::vector<uint8_t> first;
    EXPECT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kNoInput);
    test.channel.FirstSource()->socket.store(-1);
    test.Write(TsBuilder().Pat().Bytes());
    EXPECT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kNoNetwork);
}

TEST(ReadingTheRing, JoinsAtThePatCatchesUpAndFollowsTheWriter)
{
    TestChannel test;
    for (int i = 0; i < 40; ++i) test.Write(i == 12 ? TsBuilder().Null(2).Pat().Null(4).Bytes() : TsBuilder().Null(7).Bytes());
    RingReader reader(test.channel, false, 1);
    std::vector<uint8_t> first;
    ASSERT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kJoined);   // J = 10, PAT in slot 12
    EXPECT_EQ(first.size(), 5u * 188);
    EXPECT_EQ(reader.output_index(), 13);
    int caught_up = 0;
    reader.CatchUp([&](const uint8_t*, int length) {
        EXPECT_EQ(length, 1316);
        ++caught_up;
        return true;
    });
    EXPECT_EQ(caught_up, 41 / 4 + 1);
    uint8_t slot[kRingSlotSize];
    int length = 0;
    while (reader.NextSlot(slot, length) == RingReader::Next::kSlot) {
    }
    EXPECT_EQ(reader.output_index(), 40);
    EXPECT_EQ(reader.NextSlot(slot, length), RingReader::Next::kWaiting);
    test.Write(TsBuilder().RtpHeader().Null(7).Bytes());
    ASSERT_EQ(reader.NextSlot(slot, length), RingReader::Next::kSlot);
    EXPECT_EQ(length, 1316);                               // the RTP header is dropped
    EXPECT_EQ(slot[0], 0x47);
}

TEST(ReadingTheRing, AReaderWaitsForASlotNotYetWritten)
{
    TestChannel test;
    test.Write(TsBuilder().Null(7).Bytes());               // I = 1, T = 0: search from slot 0
    RingReader reader(test.channel, false, 1);
    std::vector<uint8_t> first;
    std::atomic<bool> joined{false};
    std::thread join([&] {
        EXPECT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kJoined);
        joined = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(joined.load());
    test.Write(TsBuilder().Pat().Null(6).Bytes());
    join.join();
    EXPECT_EQ(first.size(), 1316u);
}

TEST(ReadingTheRing, AByteStreamReaderTracksPacketsAcrossSlotsAndNoticesAnOverrun)
{
    TestChannel test;
    // A stream cut into 1000-byte slots, packets crossing slot borders; the PAT (packet 17,
    // byte 3196) lies in slot 3, after the join point 2 of ten written slots.
    TsBuilder stream;
    stream.Null(17).Pat().Null(40);
    const auto& bytes = stream.Bytes();
    for (std::size_t at = 0; at + 1000 <= bytes.size(); at += 1000)
        test.Write(std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + 1000)));
    RingReader reader(test.channel, true, 1);
    std::vector<uint8_t> first;
    ASSERT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kJoined);
    EXPECT_EQ(first.size(), 1000u - 196u);
    EXPECT_EQ(first[0], 0x47);
    uint8_t slot[kRingSlotSize];
    int length = 0;
    EXPECT_EQ(reader.NextSlot(slot, length), RingReader::Next::kSlot);      // slot 4: sync at 136
    EXPECT_EQ(slot[136], 0x47);
    // The writer laps the reader: the next slot no longer continues the stream.
    std::memset(test.buffer->slots[reader.output_index()].data, 0x00, 1000);
    EXPECT_EQ(reader.NextSlot(slot, length), RingReader::Next::kLostSync);
}

TEST(ReadingTheRing, AReconnectedPullSourceMakesItsReadersJoinAgain)
{
    TestChannel test;
    test.Write(TsBuilder().Pat().Null(6).Bytes());
    RingReader reader(test.channel, true, 1);
    std::vector<uint8_t> first;
    ASSERT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kJoined);
    test.channel.http_reconnect.store(1);
    uint8_t slot[kRingSlotSize];
    int length = 0;
    EXPECT_EQ(reader.NextSlot(slot, length), RingReader::Next::kReconnected);
}

TEST(ReadingTheRing, JoiningBackwardFindsTheNewestPatBeforeTheOldestSlot)
{
    TestChannel test;
    for (int i = 0; i < 1000; ++i) test.Write(i == 990 ? TsBuilder().Pat().Null(6).Bytes() : TsBuilder().Null(7).Bytes());
    test.Write(TsBuilder().Null(7).Bytes());               // T = 2
    RingReader reader(test.channel, false, 1);
    ASSERT_EQ(reader.JoinBackward(Never()), RingReader::Join::kJoined);
    EXPECT_EQ(reader.output_index(), 990);
}

// The slot the writer fills next (1) and the oldest one (2) still hold PATs of the last lap:
// a join there would read what is being overwritten.
TEST(ReadingTheRing, JoiningBackwardNeverReadsTheSlotsTheWriterIsAboutToOverwrite)
{
    TestChannel test;
    for (int i = 0; i < 1001; ++i)
        test.Write(i == 1 || i == 2 || i == 995 ? TsBuilder().Pat().Null(6).Bytes() : TsBuilder().Null(7).Bytes());
    RingReader reader(test.channel, false, 1);
    ASSERT_EQ(reader.JoinBackward(Never()), RingReader::Join::kJoined);
    EXPECT_EQ(reader.output_index(), 995);
}

TEST(ReadingTheRing, AReaderKeepsItsRingAfterTheChannelLetsGo)
{
    TestChannel test;
    test.Write(TsBuilder().Pat().Null(6).Bytes());
    RingReader reader(test.channel, false, 1);
    std::weak_ptr<RealBuffer> watch = test.buffer;
    test.buffer.reset();
    test.channel.SetBuffer(nullptr);                       // the data thread has ended
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(reader.buffer()->slots[0].length.load(), 1316);
}

}  // namespace

namespace {

TEST(ReadingTheRing, BeforeTheFirstLapJoiningBackwardSearchesForwardFromTheOldestSlot)
{
    TestChannel test;
    test.Write(TsBuilder().Null(7).Bytes());
    test.Write(TsBuilder().Pat().Null(6).Bytes());
    test.Write(TsBuilder().Null(7).Bytes());
    RingReader reader(test.channel, false, 1);
    ASSERT_EQ(reader.JoinBackward([] { return false; }), RingReader::Join::kJoined);
    EXPECT_EQ(reader.output_index(), 1);
}

}  // namespace

namespace {

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(ReadingTheRing, AFullRingWithoutAPatIsSearchedOnceAndThenWaitedOnNotCircled)
{
    TestChannel test;
    for (int i = 0; i < 1500; ++i) test.Write(TsBuilder().Null(7).Bytes());   // full, no PAT anywhere
    RingReader reader(test.channel, false, 1);
    std::vector<uint8_t> first;
    std::atomic<bool> leave{false};
    double cpu = 0;
    RingReader::Join join = RingReader::Join::kJoined;
    std::thread joiner([&] {
        const double before = ThreadCpuSeconds();
        join = reader.JoinAtPat([&] { return leave.load(); }, first);
        cpu = ThreadCpuSeconds() - before;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    leave = true;                                          // the player has gone
    joiner.join();
    EXPECT_EQ(join, RingReader::Join::kStopped);
    EXPECT_LT(cpu, 0.1) << "the join circled the ring instead of waiting for the writer";
}

TEST(ReadingTheRing, ReadersOfARetiredRingEndInsteadOfWaitingOrReadingTheNextRing)
{
    TestChannel test;
    for (int i = 0; i < 20; ++i) test.Write(i == 5 ? TsBuilder().Pat().Null(6).Bytes() : TsBuilder().Null(7).Bytes());
    RingReader reader(test.channel, false, 1);
    std::vector<uint8_t> first;
    ASSERT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kJoined);
    uint8_t slot[kRingSlotSize];
    int length = 0;
    while (reader.NextSlot(slot, length) == RingReader::Next::kSlot) {
    }
    // A reader asleep on the writer wakes when the ring is retired.
    std::thread waiter([&] { reader.WaitForWriter(10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto retired_at = std::chrono::steady_clock::now();
    retire_ring(test.channel, *test.buffer);
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - retired_at, std::chrono::seconds(1));
    // The channel's next data thread starts a new ring on the same record with the indices
    // reset: the old reader must not take them for its own.
    auto next_ring = std::make_shared<RealBuffer>();
    test.channel.SetBuffer(next_ring);
    test.channel.input_index.store(0);
    test.channel.time_index.store(0);
    test.buffer = next_ring;
    test.Write(TsBuilder().Pat().Null(6).Bytes());
    EXPECT_EQ(reader.NextSlot(slot, length), RingReader::Next::kRetired);
    EXPECT_FALSE(reader.CatchUpPass(slot, length));
    // A new reader joins the new ring.
    RingReader newcomer(test.channel, false, 2);
    EXPECT_EQ(newcomer.JoinAtPat(Never(), first), RingReader::Join::kJoined);
}

// Writes bytes into the ring in slots of slot_size, each behind an RTP header when rtp.
void WriteInSlots(TestChannel& test, const std::vector<uint8_t>& bytes, std::size_t slot_size, bool rtp = false)
{
    for (std::size_t at = 0; at + slot_size <= bytes.size(); at += slot_size) {
        std::vector<uint8_t> slot = rtp ? TsBuilder().RtpHeader().Bytes() : std::vector<uint8_t>{};
        slot.insert(slot.end(), bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + slot_size));
        test.Write(slot);
    }
}

int PidAt(const std::vector<uint8_t>& bytes, std::size_t packet)
{
    return ((bytes[packet * 188 + 1] & 0x1F) << 8) | bytes[packet * 188 + 2];
}

// The first picture in bytes (packets from byte 0) is a key picture behind the PAT and PMT.
void ExpectKeyPictureStart(const std::vector<uint8_t>& bytes)
{
    ASSERT_GE(bytes.size(), 3u * 188);
    EXPECT_EQ(PidAt(bytes, 0), 0);
    EXPECT_EQ(PidAt(bytes, 1), 0x100);
    EXPECT_EQ(PidAt(bytes, 2), kTestVideoPid);
    EXPECT_NE(bytes[2 * 188 + 1] & 0x40, 0) << "a picture starts behind the tables";
    EXPECT_EQ(bytes[2 * 188 + 28], 0x65) << "and it is a key picture";
}

// The first packet at or after `from` where the PAT, the PMT and a key picture follow each other.
std::size_t KeyPictureStartAfter(const std::vector<uint8_t>& stream, std::size_t from)
{
    for (std::size_t p = from; (p + 3) * 188 <= stream.size(); ++p)
        if (PidAt(stream, p) == 0 && PidAt(stream, p + 1) == 0x100 && stream[(p + 2) * 188 + 28] == 0x65) return p;
    return stream.size() / 188;
}

bool HasPatBetween(const std::vector<uint8_t>& stream, std::size_t from, std::size_t to)
{
    for (std::size_t p = from; p < to; ++p)
        if (PidAt(stream, p) == 0) return true;
    return false;
}

TEST(JoiningAtAKeyPicture, TheJoinSkipsPatsThatNoKeyPictureFollowsInEverySlotKind)
{
    const std::vector<uint8_t> stream = PeriodicTablesStream(160, true);
    for (const int kind : {0, 1, 2}) {
        SCOPED_TRACE(kind == 0 ? "UDP slots" : kind == 1 ? "RTP slots" : "byte-stream slots");
        const std::size_t slot_size = kind == 2 ? 1000 : 1316;
        TestChannel test;
        WriteInSlots(test, stream, slot_size, kind == 1);
        const std::size_t slots = stream.size() / slot_size;
        const std::size_t join_packet = (slots / 4 * slot_size + 187) / 188;
        const std::size_t key_packet = KeyPictureStartAfter(stream, join_packet);
        ASSERT_TRUE(HasPatBetween(stream, join_packet, key_packet)) << "the stream must have a PAT to skip";
        RingReader reader(test.channel, kind == 2, 1);
        std::vector<uint8_t> first;
        ASSERT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kJoined);
        // From there the stream goes on whole through the slots that follow.
        std::vector<uint8_t> followed = first;
        uint8_t slot[kRingSlotSize];
        int length = 0;
        while (reader.NextSlot(slot, length) == RingReader::Next::kSlot) followed.insert(followed.end(), slot, slot + length);
        ExpectKeyPictureStart(followed);
        ASSERT_EQ(followed.size(), slots * slot_size - key_packet * 188);
        EXPECT_TRUE(std::equal(followed.begin(), followed.end(), stream.begin() + static_cast<long>(key_packet * 188)));
    }
}

TEST(JoiningAtAKeyPicture, WithoutTablesBeforeItTheKeyPictureGetsCopiesAndWithoutOneThePatIsKept)
{
    TestChannel test;
    const std::vector<uint8_t> stream = PeriodicTablesStream(160, false, 7);   // tables never right before a key
    WriteInSlots(test, stream, 1316);
    RingReader reader(test.channel, false, 1);
    std::vector<uint8_t> first;
    ASSERT_EQ(reader.JoinAtPat(Never(), first), RingReader::Join::kJoined);
    ExpectKeyPictureStart(first);
    EXPECT_EQ(first.size() % 188, 0u);
    // Behind the copies, the slot from the key picture's first packet on.
    const std::vector<uint8_t> tables = TsBuilder().Pat().Pmt().Bytes();
    EXPECT_TRUE(std::equal(first.begin() + 2 * 188, first.end(),
                           stream.begin() + static_cast<long>(reader.output_index() * 1316 - (first.size() - 2 * 188))));

    // Pictures without a key picture: the first PAT after the join point, as without video.
    std::vector<uint8_t> no_keys;
    for (int frame = 0; frame < 60; ++frame) {
        if (frame % 10 == 0) no_keys.insert(no_keys.end(), tables.begin(), tables.end());
        AddPicture(no_keys, frame * 3600, Mark::kPlain);
    }
    TestChannel plain;
    WriteInSlots(plain, no_keys, 1316);                 // join point 7 (28 counted); PATs every 32 packets
    RingReader fallback(plain.channel, false, 1);
    ASSERT_EQ(fallback.JoinAtPat(Never(), first), RingReader::Join::kJoined);
    EXPECT_EQ(fallback.output_index(), 10) << "the PAT of packet 64 lies in slot 9";
    EXPECT_EQ(first.size(), 6u * 188);
}

}  // namespace
