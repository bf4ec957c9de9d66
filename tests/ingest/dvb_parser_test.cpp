#include "ingest/dvb_parser.h"

#include "support/test_channel.h"
#include "support/ts_builder.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<ChannelTable> Multiplex(int subs) { return MakeMultiplexTable(subs); }

SourceRecord& Source(ChannelTable& table, int index) { return *table.channels[static_cast<std::size_t>(index)]->FirstSource(); }

TEST(DvbTables, ProgramsOfThePatGoToTheParentAndTheChannelsAfterIt)
{
    auto table = Multiplex(1);
    DvbParserState state;
    const auto pat = TsBuilder().Pat({{0, 0x10}, {101, 0x100}, {102, 0x200}}).Bytes();
    EXPECT_FALSE(parse_dvb_packet(pat.data(), *table, 0, state));
    EXPECT_EQ(state.programs, 2);
    EXPECT_EQ(Source(*table, 0).program_number.load(), 101);
    EXPECT_EQ(Source(*table, 0).pmt_pid.load(), 0x100);
    EXPECT_EQ(Source(*table, 1).program_number.load(), 102);
    EXPECT_EQ(Source(*table, 1).pmt_pid.load(), 0x200);
}

TEST(DvbTables, APmtFillsStreamsPcrAndVideo)
{
    auto table = Multiplex(1);
    DvbParserState state;
    const auto bytes = TsBuilder()
                           .Pat({{101, 0x100}, {102, 0x200}})
                           .Pmt(0x100, 101, 0x101, {{0x02, 0x101}, {0x03, 0x102}})
                           .Pmt(0x200, 102, 0x201, {{0x1B, 0x201}, {0x0F, 0x202}, {0x02, 0x203}})
                           .Bytes();
    EXPECT_FALSE(parse_dvb_packet(bytes.data(), *table, 0, state));
    EXPECT_FALSE(parse_dvb_packet(bytes.data() + 188, *table, 0, state));
    SourceRecord& parent = Source(*table, 0);
    EXPECT_EQ(parent.stream_count.load(), 2);
    EXPECT_EQ(parent.pcr_pid.load(), 0x101);
    EXPECT_EQ(parent.video_pid.load(), 0x101);
    EXPECT_EQ(parent.source_type.load(), 10);
    EXPECT_EQ(parent.streams[1].type, 0x03);
    EXPECT_EQ(parent.streams[1].pid, 0x102);
    EXPECT_TRUE(parse_dvb_packet(bytes.data() + 376, *table, 0, state));     // the last PMT ends the walk
    EXPECT_EQ(Source(*table, 1).stream_count.load(), 3);
    EXPECT_EQ(Source(*table, 1).video_pid.load(), 0x203);
}

TEST(DvbTables, AMultiplexWithMoreProgramsThanChannelsFillsOnlyItsChannels)
{
    auto table = Multiplex(1);
    DvbParserState state;
    const auto pat = TsBuilder().Pat({{1, 0x100}, {2, 0x200}, {3, 0x300}, {4, 0x400}}).Bytes();
    parse_dvb_packet(pat.data(), *table, 0, state);
    EXPECT_EQ(state.programs, 2);
    EXPECT_EQ(Source(*table, 1).program_number.load(), 2);
}

// A UDP channel, a multiplex at 1 with one sub-channel, then another multiplex at 3 with its own.
std::shared_ptr<ChannelTable> TwoMultiplexesAfterAUdpChannel()
{
    auto table = std::make_shared<ChannelTable>();
    const struct { int32_t kind, sub, parent; } layout[] = {
        {kSourceUdpPort, 0, 0}, {kSourceDvbPort, 0, 0}, {kSourceDvbPort, 1, 1}, {kSourceDvbPort, 0, 0},
        {kSourceDvbPort, 1, 3}};
    for (const auto& entry : layout) {
        auto channel = std::make_unique<ChannelRecord>();
        auto source  = std::make_unique<SourceRecord>();
        source->kind       = entry.kind;
        source->dvb_sub    = entry.sub;
        source->dvb_parent = entry.parent;
        channel->sources.push_back(std::move(source));
        table->channels.push_back(std::move(channel));
    }
    return table;
}

TEST(DvbTables, ProgramsBeyondTheSubChannelsLeaveTheNextMultiplexAlone)
{
    auto table = TwoMultiplexesAfterAUdpChannel();
    DvbParserState state;
    const auto bytes = TsBuilder()
                           .Pat({{1, 0x100}, {2, 0x200}, {3, 0x300}, {4, 0x400}})
                           .Pmt(0x100, 1, 0x101)
                           .Pmt(0x200, 2, 0x201)
                           .Bytes();
    EXPECT_FALSE(parse_dvb_packet(bytes.data(), *table, 1, state));
    EXPECT_EQ(state.programs, 2);
    EXPECT_EQ(Source(*table, 1).program_number.load(), 1);
    EXPECT_EQ(Source(*table, 2).program_number.load(), 2);
    for (int other : {0, 3, 4}) {
        EXPECT_EQ(Source(*table, other).program_number.load(), 0) << other;
        EXPECT_EQ(Source(*table, other).pmt_pid.load(), 0) << other;
    }
    // Only the two programs that have a channel are awaited: their PMTs end the walk.
    EXPECT_FALSE(parse_dvb_packet(bytes.data() + 188, *table, 1, state));
    EXPECT_TRUE(parse_dvb_packet(bytes.data() + 376, *table, 1, state));
}

TEST(DvbTables, PmtsBeforeThePatAndForeignPacketsAreIgnored)
{
    auto table = Multiplex(0);
    DvbParserState state;
    const auto bytes = TsBuilder().Pmt(0x100, 1, 0x101).Null(1).Pat({{1, 0x100}}).Bytes();
    EXPECT_FALSE(parse_dvb_packet(bytes.data(), *table, 0, state));
    EXPECT_EQ(Source(*table, 0).stream_count.load(), 0);
    auto broken = bytes;
    broken[376] = 0x00;                                   // no sync byte
    EXPECT_FALSE(parse_dvb_packet(broken.data() + 376, *table, 0, state));
    EXPECT_FALSE(state.pat_seen);
}

TEST(DvbTables, SectionLengthsThatOverrunThePacketAreReadOnlyAsFarAsItGoes)
{
    auto table = Multiplex(3);
    DvbParserState state;
    auto pat = TsBuilder().Pat({{1, 0x100}}).Bytes();
    pat[5 + 2] = 0xFF;                                    // section length 255
    parse_dvb_packet(pat.data(), *table, 0, state);
    auto pmt = TsBuilder().Pat({{1, 0x100}}).Pmt(0x100, 1, 0x101).Bytes();
    pmt[188 + 5 + 2] = 0xFF;
    pmt[188 + 5 + 11] = 0xF0;                             // program info running past the packet
    parse_dvb_packet(pmt.data(), *table, 0, state);
    parse_dvb_packet(pmt.data() + 188, *table, 0, state);
    SUCCEED();
}

}  // namespace
