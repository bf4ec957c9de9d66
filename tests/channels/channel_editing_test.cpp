#include "channels/channel_editing.h"
#include "channels/channel_table.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kXmlHead = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

// One element of each kind the editor must not spoil: pictures, no src=, an unknown scheme,
// attributes in another order, an element over two lines.
const std::string kMixedChannels = "<ch src=\"udp://:5000\" img=\"one.png\">One</ch>\r\n"
                                   "<ch img=\"nosrc.png\">NoSource</ch>\r\n"
                                   "<ch src=\"mms://tv.example.test/live\" rec_folder=\"odd\">Odd</ch>\r\n"
                                   "<ch rec_folder=\"r4\"  src=\"rtp://239.1.1.1:1234\" img=\"four.png\">Four</ch>\r\n"
                                   "<ch src=\"http://10.0.0.5/a.ts\"\r\n img=\"five.png\">Five</ch>\r\n";

struct EditingFixture : ::testing::Test {
    TempWorkDir dir;
    std::string File() const { return dir.ReadFile("channel_definition.xml"); }
    void TearDown() override { FreeChannelTable(); }
};

using AddingAChannel = EditingFixture;

TEST_F(AddingAChannel, AMissingFileIsCreatedWithItsFirstLineAndLoadsAsTheCurrentFormat)
{
    ASSERT_EQ(AddChannelDefinition("News", "udp://:5000", ""), 1);
    ASSERT_EQ(AddChannelDefinition("Sport", "rtp://239.0.0.2:1234", "sport"), 1);
    EXPECT_EQ(File(), kXmlHead + "<ch src=\"udp://:5000\">News</ch>\r\n"
                                 "<ch src=\"rtp://239.0.0.2:1234\" rec_folder=\"sport\">Sport</ch>\r\n");
    EXPECT_EQ(dir.ReadFile("channel_definition_backup.xml"), kXmlHead + "<ch src=\"udp://:5000\">News</ch>\r\n");
    EXPECT_FALSE(dir.Exists("channel_definition_temp.xml"));

    ASSERT_EQ(LoadChannelTable(false), 1);
    const auto table = CurrentChannels();
    ASSERT_EQ(table->Count(), 2);
    EXPECT_STREQ(table->channels[1]->name, "Sport");
    EXPECT_STREQ(table->channels[1]->rec_folder, "sport");
    EXPECT_EQ(table->channels[1]->program_count, 1);
}

TEST_F(AddingAChannel, AnEmptyFileGetsTheFirstLineAndAFileWithoutItIsKeptAsItIs)
{
    dir.WriteFile("channel_definition.xml", "");
    ASSERT_EQ(AddChannelDefinition("A", "udp://:1", ""), 1);
    EXPECT_EQ(File(), kXmlHead + "<ch src=\"udp://:1\">A</ch>\r\n");

    dir.WriteFile("channel_definition.xml", "<ch src=\"udp://:1\">A</ch>");
    ASSERT_EQ(AddChannelDefinition("B", "udp://:2", ""), 1);
    EXPECT_EQ(File(), "<ch src=\"udp://:1\">A</ch>\r\n<ch src=\"udp://:2\">B</ch>\r\n");
}

TEST_F(AddingAChannel, EightConcurrentAddsAllArrive)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i] {
            const std::string name = "ch" + std::to_string(i);
            EXPECT_EQ(AddChannelDefinition(name.c_str(), "udp://:6000", ""), 1);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(CountChannelDefinitions(), 8);
    const std::string text = File();
    for (int i = 0; i < 8; ++i) EXPECT_NE(text.find(">ch" + std::to_string(i) + "</ch>"), std::string::npos) << i;
}

using RefusingValues = EditingFixture;

TEST_F(RefusingValues, AQuoteAngleOrLineBreakInAnyValueLeavesTheFileUntouched)
{
    StderrCapture log;
    EXPECT_EQ(AddChannelDefinition("a\"b", "udp://:1", ""), 0);
    EXPECT_EQ(AddChannelDefinition("ab", "udp://:1\r\n<ch src=\"x\">", ""), 0);
    EXPECT_FALSE(dir.Exists("channel_definition.xml"));

    const std::string original = kXmlHead + "<ch src=\"udp://:1\">A</ch>\r\n";
    dir.WriteFile("channel_definition.xml", original);
    EXPECT_EQ(UpdateChannelDefinition("1", "A", "udp://:1", "r>x"), 0);
    EXPECT_EQ(UpdateChannelDefinition("1", "A\nB", "udp://:1", ""), 0);
    EXPECT_EQ(File(), original);
    EXPECT_FALSE(dir.Exists("channel_definition_backup.xml"));
    EXPECT_NE(log.Text().find("Channel definition refused: its rec_folder"), std::string::npos);
}

TEST_F(RefusingValues, OverlongValuesAreCutToTheirFields)
{
    ASSERT_EQ(AddChannelDefinition(std::string(40, 'n').c_str(), ("udp://:1/" + std::string(300, 's')).c_str(),
                                   std::string(300, 'r').c_str()),
              1);
    const std::string src = ("udp://:1/" + std::string(300, 's')).substr(0, 255);
    EXPECT_EQ(File(), kXmlHead + "<ch src=\"" + src + "\" rec_folder=\"" + std::string(257, 'r') + "\">" +
                          std::string(29, 'n') + "</ch>\r\n");
}

using UpdatingAChannel = EditingFixture;

TEST_F(UpdatingAChannel, KeepsItsPositionAndPictureAndEveryOtherElementByteForByte)
{
    const std::string original = kXmlHead + kMixedChannels;
    dir.WriteFile("channel_definition.xml", original);
    ASSERT_EQ(UpdateChannelDefinition("4", "Four HD", "udp://:6000", "rec4"), 1);
    const std::string after_first = kXmlHead +
        "<ch src=\"udp://:5000\" img=\"one.png\">One</ch>\r\n"
        "<ch img=\"nosrc.png\">NoSource</ch>\r\n"
        "<ch src=\"mms://tv.example.test/live\" rec_folder=\"odd\">Odd</ch>\r\n"
        "<ch src=\"udp://:6000\" img=\"four.png\" rec_folder=\"rec4\">Four HD</ch>\r\n"
        "<ch src=\"http://10.0.0.5/a.ts\"\r\n img=\"five.png\">Five</ch>\r\n";
    EXPECT_EQ(File(), after_first);
    EXPECT_EQ(dir.ReadFile("channel_definition_backup.xml"), original);

    // The element without src= gets one and keeps its picture; the rest stays as it was.
    ASSERT_EQ(UpdateChannelDefinition("02", "", "rtp://:7000", ""), 1);
    const std::string untouched = "<ch img=\"nosrc.png\">NoSource</ch>";
    std::string expected = after_first;
    expected.replace(expected.find(untouched), untouched.size(), "<ch src=\"rtp://:7000\" img=\"nosrc.png\"></ch>");
    EXPECT_EQ(File(), expected);
    EXPECT_EQ(dir.ReadFile("channel_definition_backup.xml"), after_first);
}

TEST_F(UpdatingAChannel, ANumberThatNamesNoChannelAnswers0AndWritesNothing)
{
    const std::string original = kXmlHead + kMixedChannels;
    dir.WriteFile("channel_definition.xml", original);
    for (const char* number : {"0", "6", "-1", "1x", "", "99999999999999999999"})
        EXPECT_EQ(UpdateChannelDefinition(number, "X", "udp://:1", ""), 0) << number;
    EXPECT_EQ(File(), original);
    EXPECT_FALSE(dir.Exists("channel_definition_backup.xml"));

    dir.WriteFile("channel_definition.xml", kXmlHead);
    EXPECT_EQ(UpdateChannelDefinition("1", "X", "udp://:1", ""), 0);
}

using DeletingAChannel = EditingFixture;

TEST_F(DeletingAChannel, RemovesOnlyThatElementAndThePackagesFollowTheNewNumbers)
{
    dir.WriteFile("channel_definition.xml", kXmlHead + kMixedChannels);
    dir.WriteFile("channel_packages.csv", "# kept\r\nall,1-5\r\nlow,1,2\r\nodd,3\r\nhigh,2-3,4\r\n");
    ASSERT_EQ(DeleteChannelDefinition("3"), 1);
    EXPECT_EQ(dir.ReadFile("channel_packages.csv"), "# kept\r\nall,1-4\r\nlow,1,2\r\nodd\r\nhigh,2,3\r\n");
    const std::string third = "<ch src=\"mms://tv.example.test/live\" rec_folder=\"odd\">Odd</ch>\r\n";
    std::string expected = kXmlHead + kMixedChannels;
    expected.erase(expected.find(third), third.size());
    EXPECT_EQ(File(), expected);
    EXPECT_EQ(CountChannelDefinitions(), 4);
}

TEST_F(DeletingAChannel, ANumberOutsideTheFileWritesEverythingBackAndAnswers1)
{
    const std::string original = kXmlHead + kMixedChannels;
    for (const char* number : {"0", "6", "abc"}) {
        dir.WriteFile("channel_definition.xml", original);
        EXPECT_EQ(DeleteChannelDefinition(number), 1) << number;
        EXPECT_EQ(File(), original) << number;
    }
    EXPECT_TRUE(dir.Exists("channel_definition_backup.xml"));
}

TEST_F(DeletingAChannel, AMissingFileAnswers0)
{
    EXPECT_EQ(DeleteChannelDefinition("1"), 0);
    EXPECT_FALSE(dir.Exists("channel_definition.xml"));
}

using ListingChannels = EditingFixture;

TEST_F(ListingChannels, EveryElementIsListedAndOnlyTheSixSchemesShowTheirSource)
{
    dir.WriteFile("channel_definition.xml", kXmlHead + kMixedChannels);
    EXPECT_EQ(CountChannelDefinitions(), 5);
    std::string out = "head:";
    const std::string expected = "CH=1\r\nname=One\r\nsrc=udp://:5000\r\nrec_folder=\r\n"
                                 "CH=2\r\nname=NoSource\r\nsrc=\r\nrec_folder=\r\n"
                                 "CH=3\r\nname=Odd\r\nsrc=\r\nrec_folder=odd\r\n"
                                 "CH=4\r\nname=Four\r\nsrc=rtp://239.1.1.1:1234\r\nrec_folder=r4\r\n"
                                 "CH=5\r\nname=Five\r\nsrc=http://10.0.0.5/a.ts\r\nrec_folder=\r\n";
    EXPECT_EQ(ListChannelDefinitions(out, true), expected.size());
    EXPECT_EQ(out, "head:" + expected);
}

TEST_F(ListingChannels, AMissingFileListsNothing)
{
    std::string out;
    EXPECT_EQ(CountChannelDefinitions(), 0);
    EXPECT_EQ(ListChannelDefinitions(out, true), 0u);
    EXPECT_EQ(out, "");
}

}  // namespace

namespace {

using ChannelExtrasEditing = EditingFixture;

TEST_F(ChannelExtrasEditing, BackupsMergeAndOnDemandSurviveEditsAndReachTheLoadedTable)
{
    dir.WriteFile("channel_definition.xml", kXmlHead + "<ch src=\"udp://:5000\">One</ch>\r\n");
    ChannelExtras extras;
    extras.backup    = " http://u:p@10.0.0.5/a.ts   rtsp://10.0.0.6/b ";
    extras.on_demand = "1";
    ASSERT_EQ(AddChannelDefinition("Two", "http://10.0.0.7/c.ts", "", extras), 1);
    EXPECT_NE(File().find("<ch src=\"http://10.0.0.7/c.ts\" backup=\"http://u:p@10.0.0.5/a.ts rtsp://10.0.0.6/b\" "
                          "ondemand=\"1\">Two</ch>"),
              std::string::npos)
        << File();

    // An update that names no extra keeps them; one that does replaces them.
    ASSERT_EQ(UpdateChannelDefinition("2", "Two HD", "http://10.0.0.7/d.ts", ""), 1);
    std::string listed;
    ListChannelDefinitions(listed, false);
    EXPECT_NE(listed.find("name=Two HD\r\nsrc=http://10.0.0.7/d.ts\r\nrec_folder=\r\nbackup=http://***@10.0.0.5/a.ts "
                          "rtsp://10.0.0.6/b\r\nondemand=1\r\n"),
              std::string::npos)
        << listed;
    ChannelExtras merged;
    merged.backup = "";
    merged.merge  = "rtp://239.2.2.2:1234";
    merged.on_demand = "0";
    ASSERT_EQ(UpdateChannelDefinition("1", "One", "rtp://239.1.1.1:1234", "", merged), 1);
    EXPECT_NE(File().find("<ch src=\"rtp://239.1.1.1:1234\" merge=\"rtp://239.2.2.2:1234\">One</ch>"), std::string::npos)
        << File();

    ASSERT_EQ(LoadChannelTable(false), 1);
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    ASSERT_EQ(table->Count(), 2);
    EXPECT_EQ(table->channels[0]->merge, "rtp://239.2.2.2:1234");
    EXPECT_TRUE(table->channels[0]->backups.empty());
    EXPECT_EQ(table->channels[1]->backups, (std::vector<std::string>{"http://u:p@10.0.0.5/a.ts", "rtsp://10.0.0.6/b"}));
    EXPECT_TRUE(table->channels[1]->on_demand);
    // An attribute's name inside another's URL is not taken for it.
    dir.WriteFile("channel_definition.xml", kXmlHead + "<ch src=\"udp://:5000\" backup=\"http://cdn/x?img=1&rec_folder=\">One</ch>\r\n");
    ASSERT_EQ(LoadChannelTable(true), 1);
    EXPECT_STREQ(CurrentChannels()->channels[0]->img, "");
    EXPECT_STREQ(CurrentChannels()->channels[0]->rec_folder, "");
    ASSERT_EQ(UpdateChannelDefinition("1", "One", "udp://:5000", ""), 1);
    EXPECT_EQ(File(), kXmlHead + "<ch src=\"udp://:5000\" backup=\"http://cdn/x?img=1&rec_folder=\">One</ch>\r\n");
    bool found = false;
    EXPECT_EQ(ElementAttribute("<ch src=\"http://h/x?backup=\"1\" img=\"a\"", "backup", found), "");
    EXPECT_FALSE(found);
}

}  // namespace
