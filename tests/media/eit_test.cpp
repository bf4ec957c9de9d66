#include "media/eit.h"

#include "support/eit_builder.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr int64_t k19931013 = 750470400;                  // 1993-10-13 00:00 UTC

struct Guide {
    std::vector<EitEvent> events;
    EitReader reader{[this](const EitEvent& e) { events.push_back(e); }};
    void Feed(const EitPackets& packets, std::vector<std::size_t> only = {})
    {
        if (only.empty())
            for (std::size_t i = 0; i < packets.Count(); ++i) only.push_back(i);
        for (std::size_t i : only) reader.Packet(packets.Packet(i));
    }
};

EitTestSection OneEvent(uint8_t table_id, uint16_t service, uint8_t version, const std::string& title)
{
    EitTestSection s;
    s.table_id = table_id;
    s.service_id = service;
    s.version = version;
    EitTestEvent e;
    e.title = title;
    s.events.push_back(e);
    return s;
}

TEST(EitReader, HandsOnPresentFollowingAndScheduleEventsOfThisMultiplexOnly)
{
    EitTestSection present = OneEvent(0x4E, 7, 0, "News");
    present.events[0].event_id = 100;
    present.events[0].text = "Headlines";
    // A long text runs on into a second descriptor with a UTF-8 character cut between them.
    present.events[0].extended = {"\x15" "Caf\xC3", "\x15" "\xA9 talk"};

    EitTestSection schedule = OneEvent(0x50, 7, 3, "\x15" "Film");
    schedule.section_number = 8;
    schedule.events[0].event_id = 101;
    schedule.events[0].mjd = 0xC07A;
    schedule.events[0].start_bcd = 0x203000;
    schedule.events[0].duration_bcd = 0x014500;
    EitTestEvent undefined;                               // start all ones: not handed on
    undefined.mjd = 0xFFFF;
    undefined.start_bcd = 0xFFFFFF;
    schedule.events.push_back(undefined);

    EitPackets packets;
    packets.Add({EitSectionBytes(present), EitSectionBytes(OneEvent(0x4F, 7, 0, "Other")),
                 EitSectionBytes(schedule), EitSectionBytes(OneEvent(0x60, 7, 0, "Elsewhere"))});
    ASSERT_LE(packets.Count(), 2u);                       // several sections share a packet
    Guide guide;
    guide.Feed(packets);

    ASSERT_EQ(guide.events.size(), 2u);
    EXPECT_EQ(guide.reader.sections(), 2u);
    EXPECT_EQ(guide.reader.bad_sections(), 0u);
    const EitEvent& now = guide.events[0];
    EXPECT_EQ(now.service_id, 7);
    EXPECT_EQ(now.event_id, 100);
    EXPECT_EQ(now.table_id, 0x4E);
    EXPECT_EQ(now.section_number, 0);
    EXPECT_EQ(now.start, k19931013 + 12 * 3600 + 45 * 60);
    EXPECT_EQ(now.duration, 90 * 60);
    EXPECT_EQ(now.language, "eng");
    EXPECT_EQ(now.title, "News");
    EXPECT_EQ(now.description, "Headlines\nCafé talk");
    const EitEvent& later = guide.events[1];
    EXPECT_EQ(later.table_id, 0x50);
    EXPECT_EQ(later.section_number, 8);
    EXPECT_EQ(later.event_id, 101);
    EXPECT_EQ(later.start, k19931013 + 86400 + 20 * 3600 + 30 * 60);
    EXPECT_EQ(later.duration, 105 * 60);
    EXPECT_EQ(later.title, "Film");
    EXPECT_EQ(later.description, "");
}

TEST(EitReader, GathersSplitSectionsAndDropsBrokenOnes)
{
    auto long_section = [](uint8_t version) {
        EitTestSection s = OneEvent(0x4E, 1, version, "Long");
        s.events[0].extended = {std::string(200, 'a'), std::string(200, 'b')};
        return s;
    };
    EitPackets whole;
    whole.Add(long_section(0));
    ASSERT_EQ(whole.Count(), 3u);
    Guide guide;
    guide.Feed(whole);
    ASSERT_EQ(guide.events.size(), 1u);
    EXPECT_EQ(guide.events[0].description, std::string(200, 'a') + std::string(200, 'b'));

    // A lost packet in the middle (continuity gap) drops the section at once, and so does a
    // packet without payload in the middle.
    EitPackets gap;
    gap.Add(long_section(1));
    guide.Feed(gap, {0, 2});
    EXPECT_EQ(guide.reader.bad_sections(), 1u);
    EitPackets holed;
    holed.Add(long_section(2));
    uint8_t no_payload[188] = {0x47, 0x00, 0x12, 0x20, 183};
    guide.reader.Packet(holed.Packet(0));
    guide.reader.Packet(no_payload);
    EXPECT_EQ(guide.reader.bad_sections(), 2u);
    guide.Feed(holed, {1, 2});
    EXPECT_EQ(guide.events.size(), 1u);
    EXPECT_EQ(guide.reader.bad_sections(), 2u);

    // A section announcing more than 4096 bytes is dropped at its header; the next is read.
    EitPackets too_long;
    too_long.Add(std::vector<uint8_t>{0x4E, 0xBF, 0xFE, 0x00, 0x01});
    too_long.Add(OneEvent(0x4E, 2, 0, "After"));
    guide.Feed(too_long);
    EXPECT_EQ(guide.reader.bad_sections(), 3u);
    ASSERT_EQ(guide.events.size(), 2u);
    EXPECT_EQ(guide.events[1].title, "After");
}

TEST(EitReader, DropsBadSectionsAndHandsOnEachVersionOnce)
{
    Guide guide;
    EitPackets packets;
    packets.Add(OneEvent(0x4E, 1, 4, "First"));
    packets.Add(OneEvent(0x4E, 1, 4, "First"));           // the same section repeated
    std::vector<uint8_t> damaged = EitSectionBytes(OneEvent(0x4E, 1, 5, "Second"));
    damaged[30] ^= 0x01;
    packets.Add(damaged);
    std::vector<uint8_t> no_syntax = EitSectionBytes(OneEvent(0x4E, 1, 5, "Second"));
    no_syntax[1] &= 0x7F;
    const uint32_t crc = TsBuilder::Crc32(no_syntax.data(), no_syntax.size() - 4);
    for (int i = 0; i < 4; ++i) no_syntax[no_syntax.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    packets.Add(no_syntax);
    EitTestSection next = OneEvent(0x4E, 1, 5, "Second");
    next.current = false;                                 // announced, not yet in force
    packets.Add(next);
    packets.Add(OneEvent(0x4E, 1, 5, "Second"));
    guide.Feed(packets);

    ASSERT_EQ(guide.events.size(), 2u);
    EXPECT_EQ(guide.events[0].title, "First");
    EXPECT_EQ(guide.events[1].title, "Second");
    EXPECT_EQ(guide.reader.sections(), 3u);
    EXPECT_EQ(guide.reader.bad_sections(), 2u);
}

TEST(DvbText, EachCharacterTableBecomesUtf8)
{
    const std::string bad = "\xEF\xBF\xBD";               // U+FFFD
    const struct {
        std::string bytes;
        std::string utf8;
    } cases[] = {
        {"Caf\xC2" "e \xC8" "x", "Café x\xCC\x88"},       // accent precomposed, else combined
        {"a\x8A" "b\x86" "c\x87\x9F", "a\nbc"},            // line break; emphasis and others dropped
        {"\xA4" "5", "€5"},
        {"\x01\xBF\xE0\xD8\xD2\xD5\xE2", "Привет"},        // ISO 8859-5
        {"\x03\xC1\xE8\xDE\xED\xE1", "Αθήνα"},             // ISO 8859-7
        {"\x0B\xA4\xBD", "€œ"},                             // ISO 8859-15
        {std::string("\x10\x00\x02\xB9\xE8", 5), "šč"},    // ISO 8859-2 by number
        {"\x15Gr\xC3\xBC\xC3\x9F", "Grüß"},
        // A stray byte, an overlong form and a surrogate: one U+FFFD per byte
        {"\x15" "a\xFF" "b\xC0\xAF\xED\xA0\x80", "a" + bad + "b" + bad + bad + bad + bad + bad},
        {std::string("\x11\x00" "A\x04\x1F\xE0\x8A\x00" "b\xD8\x00", 11), "AП\nb" + bad},  // UCS-2
    };
    for (const auto& c : cases)
        EXPECT_EQ(DvbTextToUtf8(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.utf8) << c.bytes;
}

TEST(DvbTime, ModifiedJulianDateAndBcdTime)
{
    EXPECT_EQ(DvbTime(0xC079, 0x124500), 750516300);       // 1993-10-13 12:45:00
    EXPECT_EQ(DvbTime(0xFFFF, 0xFFFFFF), -1);
    EXPECT_EQ(DvbTime(0xC079, 0x12A500), -1);
    EXPECT_EQ(DvbBcdSeconds(0x013000), 5400);
}

}  // namespace
