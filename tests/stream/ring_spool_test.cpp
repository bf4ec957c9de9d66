#include "stream/ring_spool.h"

#include "media/ts_packet.h"
#include "support/test_channel.h"

#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// length bytes, each (k + offset) mod 251, with a sync byte at every packet start.
std::vector<uint8_t> Bytes(int k, int length)
{
    std::vector<uint8_t> bytes(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<uint8_t>((k + i) % 251);
    for (int at = 0; at < length; at += kTsPacketSize) bytes[static_cast<std::size_t>(at)] = kTsSyncByte;
    return bytes;
}

std::vector<uint8_t> Read(const RingSpool& spool, int64_t at, std::size_t length)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(spool.ReadBack(at, length, out));
    return out;
}

}  // namespace

TEST(RingSpool, HoldsEachSlotsWholePacketsInOrderAndOnlyForTheRingTheWriterFills)
{
    TestChannel test;
    RingSpool spool(test.channel);
    test.Write(Bytes(0, kTsBlockSize));
    std::vector<uint8_t> rtp = Bytes(1, kRtpSlotSize);   // an RTP datagram: its header is not sent
    test.Write(rtp);
    test.Write(Bytes(2, 1000));                           // five whole packets and a cut one

    const int64_t first = spool.OffsetOf(test.buffer, 0, kTsBlockSize);
    ASSERT_GE(first, 0);
    EXPECT_EQ(spool.OffsetOf(test.buffer, 1, kTsBlockSize), first + kTsBlockSize);
    EXPECT_EQ(spool.OffsetOf(test.buffer, 2, 1000), first + 2 * kTsBlockSize);
    EXPECT_EQ(Read(spool, first, kTsBlockSize), Bytes(0, kTsBlockSize));
    EXPECT_EQ(Read(spool, first + kTsBlockSize, kTsBlockSize),
              std::vector<uint8_t>(rtp.begin() + kRtpHeaderSize, rtp.end()));
    const std::vector<uint8_t> cut = Bytes(2, 5 * kTsPacketSize);
    EXPECT_EQ(Read(spool, first + 2 * kTsBlockSize, cut.size()), cut);
    EXPECT_EQ(spool.end(), first + 2 * kTsBlockSize + static_cast<int64_t>(cut.size()));

    // Not written yet, or read with another length than the copy's: not vouched for.
    EXPECT_EQ(spool.OffsetOf(test.buffer, 3, kTsBlockSize), -1);
    EXPECT_EQ(spool.OffsetOf(test.buffer, 1, 500), -1);
    // A slot written after the last copy is copied when it is asked for.
    test.Write(Bytes(3, kTsBlockSize));
    EXPECT_EQ(spool.OffsetOf(test.buffer, 3, kTsBlockSize), first + 2 * kTsBlockSize + static_cast<int64_t>(cut.size()));

    // A ring that is not the channel's is never copied; the channel's new ring is, from its
    // own slots, at offsets after everything before.
    auto stray = std::make_shared<RealBuffer>();
    EXPECT_EQ(spool.OffsetOf(stray, 0, kTsBlockSize), -1);
    const int64_t end_before = spool.end();
    auto next = std::make_shared<RealBuffer>();
    test.channel.SetBuffer(next);
    test.buffer = next;
    test.channel.input_index.store(0);
    test.channel.time_index.store(0);
    test.Write(Bytes(9, kTsBlockSize));
    const int64_t fresh = spool.OffsetOf(next, 0, kTsBlockSize);
    EXPECT_GE(fresh, end_before);
    EXPECT_EQ(Read(spool, fresh, kTsBlockSize), Bytes(9, kTsBlockSize));
}

TEST(RingSpool, GivesBackWhatIsALapOldButNeverTheBytesASocketOrAKeptRangeStillNeeds)
{
    TestChannel test;
    RingSpool spool(test.channel);
    int socket_pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, socket_pair), 0);

    auto write_and_copy = [&](int from, int count) {
        for (int k = from; k < from + count; ++k) {
            test.Write(Bytes(k, kTsBlockSize));
            ASSERT_GE(spool.OffsetOf(test.buffer, k % kRingSlots, kTsBlockSize), 0);
        }
    };
    write_and_copy(0, 10);
    // A socket takes slots 0..9 from the spool and nobody reads them yet; slot 5 on is kept as a
    // range a sender still owes another socket.
    const int64_t first = spool.OffsetOf(test.buffer, 0, kTsBlockSize);
    off_t at = first;
    ASSERT_EQ(sendfile(socket_pair[0], spool.fd(), &at, 10 * kTsBlockSize), 10 * kTsBlockSize);
    const int64_t kept = first + 5 * kTsBlockSize;

    // Five laps later: everything behind the window went, except the kept range.
    for (int lap = 0; lap < 5; ++lap) {
        write_and_copy(10 + lap * kRingSlots, kRingSlots);
        spool.Release(kept);
    }
    EXPECT_EQ(Read(spool, kept, kTsBlockSize), Bytes(5, kTsBlockSize));
    spool.Release(spool.end());
    std::vector<uint8_t> gone;
    EXPECT_FALSE(spool.ReadBack(first, kTsBlockSize, gone));
    EXPECT_LE(spool.held(), RingSpool::kWindowSlots * kTsBlockSize + 2 * RingSpool::kReleaseStep);
    struct stat facts{};
    ASSERT_EQ(fstat(spool.fd(), &facts), 0);
    EXPECT_LE(facts.st_blocks * 512, spool.held() + RingSpool::kReleaseStep);
    EXPECT_GT(spool.end(), 5 * kRingSlots * kTsBlockSize);

    // The socket still delivers what it took before the pages were let go.
    std::vector<uint8_t> got(10 * kTsBlockSize);
    std::size_t read_bytes = 0;
    while (read_bytes < got.size()) {
        const ssize_t n = read(socket_pair[1], got.data() + read_bytes, got.size() - read_bytes);
        ASSERT_GT(n, 0);
        read_bytes += static_cast<std::size_t>(n);
    }
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(std::vector<uint8_t>(got.begin() + k * kTsBlockSize, got.begin() + (k + 1) * kTsBlockSize),
                  Bytes(k, kTsBlockSize)) << "slot " << k;
    close(socket_pair[0]);
    close(socket_pair[1]);
}

TEST(RingSpool, AWriterThatWentALapPastTheLastCopyIsCopiedAgainNotServedFromTheOlderLap)
{
    TestChannel test;
    RingSpool spool(test.channel);
    for (int k = 0; k < kRingSlots; ++k) {
        test.Write(Bytes(k, kTsBlockSize));
        ASSERT_GE(spool.OffsetOf(test.buffer, k, kTsBlockSize), 0);
    }
    // Nobody asks while the writer goes more than a lap on (every viewer gone or far behind).
    for (int k = kRingSlots; k < 2 * kRingSlots + 300; ++k) test.Write(Bytes(k, kTsBlockSize));
    const int32_t index = 700;                 // holds slot 1700 now, slot 700 in the old copy
    const int64_t at = spool.OffsetOf(test.buffer, index, kTsBlockSize);
    ASSERT_GE(at, 0);
    EXPECT_EQ(Read(spool, at, kTsBlockSize), Bytes(kRingSlots + index, kTsBlockSize));
}
