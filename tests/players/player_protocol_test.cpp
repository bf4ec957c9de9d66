// The management protocol texts: the registration values, the framing of what a box sends
// over split and joined receives, the time texts and the settings merge.

#include "players/player_protocol.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr char kRegistration[] = " PlayerName=b Password=p Group=g MACID=001122334455 IPAddr=x";

std::vector<PlayerMessage> Frame(PlayerMessageFramer& framer, uint64_t now)
{
    std::vector<PlayerMessage> all;
    PlayerMessage message;
    while (framer.Next(now, message) && all.size() < 100) all.push_back(message);
    return all;
}

TEST(RegistrationValues, EachValueRunsToTheSeparatorBeforeTheNextKey)
{
    PlayerStatusFields fields;
    ASSERT_TRUE(ParsePlayerStatus(kRegistration, fields));
    EXPECT_STREQ(fields.player_name, "b");
    EXPECT_STREQ(fields.password, "p");
    EXPECT_STREQ(fields.group, "g");
    EXPECT_STREQ(fields.mac_id, "001122334455");

    ASSERT_TRUE(ParsePlayerStatus("#PlayerName=living room#Password=#Group=Floor 2#MACID=AABBCCDDEEFF#IPAddr=", fields));
    EXPECT_STREQ(fields.player_name, "living room");
    EXPECT_STREQ(fields.password, "");
    EXPECT_STREQ(fields.group, "Floor 2");
}

TEST(RegistrationValues, TheMacIdIsBoundedAndTheKeysAreRequired)
{
    PlayerStatusFields fields;
    // A MAC ID at the very end of the text, and one far too long: never read past, never more than 12.
    EXPECT_TRUE(ParsePlayerStatus(" PlayerName=b Password=p Group=g MACID=0011", fields));
    EXPECT_STREQ(fields.mac_id, "0011");
    EXPECT_TRUE(ParsePlayerStatus(" PlayerName=b Password=p Group=g MACID=00112233445566778899 IPAddr=x", fields));
    EXPECT_STREQ(fields.mac_id, "001122334455");
    EXPECT_FALSE(ParsePlayerStatus(" PlayerName=b Password=p Group=g MACID= IPAddr=x", fields));
    EXPECT_FALSE(ParsePlayerStatus(" Password=p Group=g MACID=001122334455 IPAddr=x", fields));
    EXPECT_TRUE(fields.has_mac);
    EXPECT_FALSE(ParsePlayerStatus(" PlayerName=b Group=g MACID=001122334455", fields));
    // A value longer than its field is cut.
    EXPECT_TRUE(ParsePlayerStatus(" PlayerName=" + std::string(500, 'n') + " Password=p MACID=1", fields));
    EXPECT_EQ(std::string(fields.player_name), std::string(kCredentialSize - 1, 'n'));
}

TEST(Framing, AMessageSplitOverReceivesIsTakenWhole)
{
    PlayerMessageFramer framer(kRegistrationLimit);
    const std::string text = kRegistration;
    // One byte per receive, each 150 ms after the one before (within the silence that ends a
    // message only once its last value is there).
    uint64_t now = 1000;
    for (std::size_t i = 0; i < text.size(); ++i, now += 150) {
        framer.Add(&text[i], 1, now);
        if (i + 1 < text.size()) {
            EXPECT_TRUE(Frame(framer, now + 149).empty()) << "cut after " << i + 1;
        }
    }
    EXPECT_TRUE(Frame(framer, now - 150 + kMessageGapMs - 1).empty());
    const auto all = Frame(framer, now - 150 + kMessageGapMs);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].kind, PlayerMessageKind::kStatus);
    EXPECT_EQ(all[0].text, text.substr(1));       // without the blanks before it
}

TEST(Framing, MessagesJoinedInOneReceiveAreTakenOneByOne)
{
    PlayerMessageFramer framer(kPlayerAnswerLimit);
    const std::string joined = std::string(kRegistration) + "\r\nRETR_OK\r\n" + kRegistration + "\n[network]\nip=1\n";
    framer.Add(joined.data(), joined.size(), 0);
    auto all = Frame(framer, 0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].kind, PlayerMessageKind::kStatus);
    EXPECT_EQ(all[0].text, std::string(kRegistration).substr(1));
    EXPECT_EQ(all[1].kind, PlayerMessageKind::kRetrOk);
    EXPECT_EQ(all[2].kind, PlayerMessageKind::kStatus);
    // The settings text after it ends with the silence and comes through unchanged.
    all = Frame(framer, kMessageGapMs);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].kind, PlayerMessageKind::kOther);
    EXPECT_EQ(all[0].text, "[network]\nip=1\n");
    EXPECT_EQ(framer.Pending(), 0u);
}

TEST(Framing, AnUnfinishedMessageIsDroppedAfterTheReceiveLimitAndTheLimitEndsAMessage)
{
    PlayerMessageFramer framer(kRegistrationLimit);
    framer.Add(" PlayerName=b Pass", 18, 0);
    EXPECT_TRUE(Frame(framer, kMessageWaitMs).empty());
    EXPECT_FALSE(framer.DropStale(kMessageWaitMs));
    EXPECT_TRUE(framer.DropStale(kMessageWaitMs + 1));
    EXPECT_EQ(framer.Pending(), 0u);

    const std::string flood(kRegistrationLimit + 50, 'z');
    framer.Add(flood.data(), flood.size(), 0);
    const auto all = Frame(framer, 0);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].text.size(), kRegistrationLimit);
}

TEST(TimeTexts, StatAndPlayerTimeCarryTheLocalTimeWithoutPadding)
{
    std::tm when{};
    when.tm_year = 126;
    when.tm_mon = 0;
    when.tm_mday = 5;
    when.tm_hour = 7;
    when.tm_min = 3;
    when.tm_sec = 9;
    EXPECT_EQ(StatText(when, 42), "STAT 2026,1,5,7,3,9,42");
    char text[kPlayerTimeSize];
    PlayerTimeText(when, text);
    EXPECT_STREQ(text, "2026/1/5 7:3:9");
}

TEST(SettingsMerge, NewValuesReplaceTheBoxsOwnAndEverythingElseIsKept)
{
    EXPECT_EQ(MergePlayerSettings("[audio]\nvolume=5\nmute=0\n", "volume=\"9\""),
              "SAVE_MACID_SETTING [audio]\nvolume=\"9\"\nmute=0\n");
    // Line ends as they are, lines without "=", a key that is only the end of a longer one,
    // an unquoted new value, and a last line without its line end.
    EXPECT_EQ(MergePlayerSettings("[a]\r\nvol=1\r\n\r\nnote\nip=1.2.3.4\nmode=x",
                                  "master_vol=\"3\",ip=10.0.0.1,mode=\"y\""),
              "SAVE_MACID_SETTING [a]\r\nvol=1\r\n\r\nnote\nip=10.0.0.1\nmode=\"y\"\n");
}

}  // namespace
