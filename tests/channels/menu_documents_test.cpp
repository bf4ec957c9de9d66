// The set-top menu documents and the archive listing with its retention, written in a
// temporary working folder and compared byte for byte.

#include "channels/archive.h"
#include "channels/channel_table.h"
#include "channels/menu_documents.h"
#include "core/config.h"
#include "core/log.h"
#include "core/text.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

namespace {

constexpr char kHead[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<tml version=\"2.0\">\r\n"
                         "<title>Corvatelix Markup Language</title>\r\n"
                         "<lastBuildDate>Fri, 27 Aug 2010 04:50:23 GMT</lastBuildDate>\r\n";

std::string ChannelHead(const std::string& name)
{
    return std::string(kHead) + "<logo> </logo>\r\n<item>\r\n<channel>1 - " + name + " Recorded Video</channel>\r\n"
           "<vod baseurl=\"http://@:8000/tml/pictures/\" hrefbase=\"xancp://@:2000/\">\r\n";
}
constexpr char kChannelTail[] = "</vod>\r\n</item>\r\n</tml>\r\n";

std::unique_ptr<ChannelRecord> Channel(const char* name, const char* rec_folder = "")
{
    auto channel = std::make_unique<ChannelRecord>();
    CopyText(channel->name, name);
    CopyText(channel->rec_folder, rec_folder);
    return channel;
}

// Archive files of one day, hh_00 for the hours given.
void Record(const TempWorkDir& dir, const std::string& folder, const std::string& day, std::initializer_list<int> hours)
{
    for (const int hour : hours) {
        char name[32];
        FormatText(name, "%s_%02d_00.ts", day.c_str(), hour);
        dir.WriteFile("tv_program_archive/" + folder + "/" + name, "ts");
    }
}

TEST(MenuNames, NamesAreEscapedInsideAndFileNamesMustStayInTml)
{
    EXPECT_EQ(EscapeMarkup("A&B <\"x\">"), "A&amp;B &lt;&quot;x&quot;&gt;");
    for (const char* good : {"News", "..", "a..b", "Sport 1"}) EXPECT_TRUE(MenuFileNameAllowed(good)) << good;
    for (const char* bad : {"", "a/b", "../x", "a\\b", "stb_tml", "stb_tml_temp", "stb_tml_backup"})
        EXPECT_FALSE(MenuFileNameAllowed(bad)) << bad;
}

TEST(MainDocument, ListsEveryChannelLiveAndTheRecordedVideoEntry)
{
    ChannelTable table;
    table.channels.push_back(Channel("News & Co"));
    table.channels.push_back(Channel("a/b"));
    EXPECT_EQ(MainMenuDocument(table, 8000),
              std::string(kHead) +
                  "<logo src=\"http://@:8000/tml/pictures/logo.png\" x=\"80\" y=\"140\"> </logo>\r\n"
                  "<msgfont>40</msgfont>\r\n<msgposition>150,868,1050,950</msgposition>\r\n"
                  "<item>\r\n<channel>1 - News &amp; Co</channel>\r\n<iptv>\r\n<livevideo>http://@:8000/1.ch</livevideo>\r\n"
                  "</iptv>\r\n</item>\r\n"
                  "<item>\r\n<channel>2 - a/b</channel>\r\n<iptv>\r\n<livevideo>http://@:8000/2.ch</livevideo>\r\n"
                  "</iptv>\r\n</item>\r\n"
                  "<item>\r\n<channel>3 - Recorded Video</channel>\r\n<vod baseurl=\"http://@:8000/tml/\">\r\n"
                  "<frame title=\"Channel Recorded Video\">\r\n"
                  "<icon src=\"pictures/ch1.png\" href=\"News &amp; Co.xml\">News &amp; Co</icon>\r\n"
                  "</frame>\r\n</vod>\r\n</item>\r\n</tml>\r\n");
}

TEST(ArchiveListing, RecordingsAreFramedByDayWithTheHourAndTheNextOneForAnHourLongDuration)
{
    TempWorkDir dir;
    Record(dir, "news", "2012_08_01", {14, 23});
    Record(dir, "news", "2012_08_02", {9});
    dir.WriteFile("tv_program_archive/news/notes.txt", "stray");
    dir.WriteFile("tv_program_archive/news/2012_08_02_10_00.ts.part", "stray");
    dir.MakeDir("tv_program_archive/news/2012_08_03_00_00.ts");          // a folder, not a recording
    EXPECT_EQ(ChannelMenuDocument(*Channel("News", "news"), 8000, 2000, 60),
              ChannelHead("News") +
                  "<frame title=\"News Channel: 2012_08_01\">\r\n"
                  "<icon src=\"14.png\" href=\"tv_program_archive/News/2012_08_01_14_00.ts\">14~15</icon>\r\n"
                  "<icon src=\"23.png\" href=\"tv_program_archive/News/2012_08_01_23_00.ts\">23~24</icon>\r\n"
                  "</frame>\r\n<frame title=\"News Channel: 2012_08_02\">\r\n"
                  "<icon src=\"9.png\" href=\"tv_program_archive/News/2012_08_02_09_00.ts\">09~10</icon>\r\n"
                  "</frame>\r\n" + kChannelTail);
    // Half-hour recordings show their hour twice.
    EXPECT_NE(ChannelMenuDocument(*Channel("News", "news"), 8000, 2000, 30).find(">14~14</icon>"), std::string::npos);
    EXPECT_TRUE(dir.Exists("tv_program_archive/news/notes.txt"));
}

TEST(ArchiveListing, AChannelWithoutRecordingFolderOrWithOneLeadingOutHasNoFrame)
{
    TempWorkDir dir;
    Record(dir, "x", "2012_08_01", {1, 2});
    EXPECT_EQ(ChannelMenuDocument(*Channel("Plain"), 8000, 2000, 60), ChannelHead("Plain") + kChannelTail);
    EXPECT_EQ(ChannelMenuDocument(*Channel("Out", "../tv_program_archive/x"), 8000, 2000, 60), ChannelHead("Out") + kChannelTail);
    EXPECT_TRUE(dir.Exists("tv_program_archive/x/2012_08_01_01_00.ts"));
}

class Retention : public ::testing::Test {
protected:
    // 170 hourly recordings from 2012_08_01_00 on.
    void SetUp() override
    {
        for (int i = 0; i < 170; ++i) {
            char name[32];
            FormatText(name, "2012_08_%02d_%02d_00.ts", 1 + i / 24, i % 24);
            dir.WriteFile(std::string("tv_program_archive/news/") + name, "ts");
        }
    }
    TempWorkDir dir;
};

TEST_F(Retention, AWeekOfHourlyRecordingsIsKeptAndTheOldestGoWithTheirDayFrameStillOpened)
{
    StderrCapture log;
    const std::string listing = ArchiveListing("tv_program_archive/news", "News", 60);
    EXPECT_FALSE(dir.Exists("tv_program_archive/news/2012_08_01_00_00.ts"));
    EXPECT_FALSE(dir.Exists("tv_program_archive/news/2012_08_01_01_00.ts"));
    EXPECT_TRUE(dir.Exists("tv_program_archive/news/2012_08_01_02_00.ts"));
    EXPECT_EQ(listing.find("2012_08_01_01_00.ts"), std::string::npos);
    EXPECT_TRUE(listing.starts_with("<frame title=\"News Channel: 2012_08_01\">\r\n"
                                    "<icon src=\"2.png\" href=\"tv_program_archive/News/2012_08_01_02_00.ts\">02~03</icon>\r\n"))
        << listing.substr(0, 300);
    EXPECT_NE(log.Text().find("Sucessfully Delete out-of-date recorded video: [tv_program_archive/news/2012_08_01_01_00.ts]\n"),
              std::string::npos);
    // A second run has nothing left to delete.
    EXPECT_EQ(ArchiveListing("tv_program_archive/news", "News", 60), listing);
}

TEST_F(Retention, AnUndeletableOrRecordingFileMakesTheNextOldestGoInstead)
{
    StderrCapture log;
    MarkArchiveRecording("tv_program_archive/news/2012_08_01_01_00.ts", true);
    std::set<std::string> removed;
    const std::string listing = ArchiveListing("tv_program_archive/news", "News", 60, [&](const std::string& path) {
        if (path.ends_with("2012_08_01_00_00.ts")) return false;
        removed.insert(path);
        return true;
    });
    MarkArchiveRecording("tv_program_archive/news/2012_08_01_01_00.ts", false);
    EXPECT_EQ(removed, (std::set<std::string>{"tv_program_archive/news/2012_08_01_02_00.ts",
                                              "tv_program_archive/news/2012_08_01_03_00.ts"}));
    EXPECT_NE(log.Text().find("Failed to Delete [tv_program_archive/news/2012_08_01_00_00.ts]\n"), std::string::npos);
    EXPECT_NE(listing.find("2012_08_01_01_00.ts\">01~02</icon>"), std::string::npos);   // the recording one is listed
    EXPECT_EQ(listing.find("2012_08_01_00_00.ts"), std::string::npos);
}

class MenuRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetConfiguration();
        CopyText(g_config.httpport, "8000");
        g_config.tv_on_demand_record_duration = 60;
        dir.WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
                                                "<ch src=\"udp://:1\" rec_folder=\"news\">News</ch>\r\n"
                                                "<ch src=\"udp://:2\">sub/Sport</ch>\r\n");
        ASSERT_EQ(LoadChannelTable(false), 1);
    }
    void TearDown() override
    {
        FreeChannelTable();
        ResetConfiguration();
    }
    TempWorkDir dir;
};

TEST_F(MenuRun, EveryDocumentIsRewrittenWholeAndTheOldMainOneKeptAsBackup)
{
    dir.MakeDir("tml");
    Record(dir, "news", "2012_08_01", {14});
    dir.WriteFile("tml/stb_tml.xml", "old");
    WriteMenuDocuments();
    EXPECT_EQ(dir.ReadFile("tml/stb_tml_backup.xml"), "old");
    EXPECT_EQ(dir.ReadFile("tml/stb_tml.xml").substr(0, sizeof kHead - 1), kHead);
    EXPECT_FALSE(dir.Exists("tml/stb_tml_temp.xml"));
    EXPECT_EQ(dir.ReadFile("tml/News.xml"),
              ChannelHead("News") + "<frame title=\"News Channel: 2012_08_01\">\r\n"
                                    "<icon src=\"14.png\" href=\"tv_program_archive/News/2012_08_01_14_00.ts\">14~15</icon>\r\n"
                                    "</frame>\r\n" + kChannelTail);
    EXPECT_FALSE(dir.Exists("tml/sub"));
    EXPECT_FALSE(dir.Exists("tml/News.xml.temp"));
}

TEST_F(MenuRun, WithoutTheTmlFolderNothingIsWritten)
{
    StderrCapture log;
    WriteMenuDocuments();
    EXPECT_NE(log.Text().find(" TML_Definition_FileName_temp file Failed"), std::string::npos);
    EXPECT_EQ(log.Text().find("End to Create TML"), std::string::npos);
}

}  // namespace
