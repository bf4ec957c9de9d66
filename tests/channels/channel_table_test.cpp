#include "channels/channel_table.h"
#include "core/config.h"
#include "core/text.h"

#include "support/fake_dns.h"
#include "support/stderr_capture.h"
#include "support/temp_dir.h"
#include "support/ts_builder.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kXmlHead = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

// packets * 188 bytes whose video time stamps lie ten seconds apart.
std::vector<uint8_t> TenSecondTs(int packets)
{
    return TsBuilder().Pat().Pmt().VideoPes(0x101, 90000, true, 0).Null(packets - 5).VideoPes(0x101, 990000).Null(1).Bytes();
}

// size bytes whose movie header says seconds (time scale 1).
std::vector<uint8_t> Mp4Of(std::size_t size, uint8_t seconds)
{
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data() + 64, "mvhd", 4);
    bytes[64 + 19] = 1;
    bytes[64 + 23] = seconds;
    return bytes;
}

// "name programs:" and per source " kind credentials@host:port/path" (+ " dvb parent/sub").
std::string Channel(const ChannelTable& table, int index)
{
    const ChannelRecord& channel = *table.channels.at(static_cast<std::size_t>(index));
    std::string text = std::string(channel.name) + " " + std::to_string(channel.program_count) + ":";
    for (const auto& source : channel.sources) {
        text += " " + std::to_string(source->kind) + " ";
        if (source->credentials[0] != '\0') text += std::string(source->credentials) + "@";
        text += std::string(source->host) + ":" + std::to_string(source->port);
        if (source->path()[0] != '\0') text += std::string("/") + source->path();
        if (source->dvb_parent != 0 || source->dvb_sub != 0)
            text += " dvb " + std::to_string(source->dvb_parent) + "/" + std::to_string(source->dvb_sub);
    }
    return text;
}

bool Unusable(const ChannelTable& table, int index)
{
    const ChannelRecord& channel = *table.channels.at(static_cast<std::size_t>(index));
    return channel.program_count == 0 && channel.sources.empty();
}

struct ChannelFixture : ::testing::Test {
    TempWorkDir dir;
    // Knows tv.example.test; any other name does not exist.
    FakeDnsServer dns{[](const std::vector<uint8_t>& query) {
        static const uint8_t kTv[4] = {192, 0, 2, 77};
        const bool known = std::string(query.begin(), query.end()).find("\2tv\7example\4test") != std::string::npos;
        return known ? FakeDnsServer::Answer(query, kTv) : FakeDnsServer::Error(query, 3);
    }};

    void SetUp() override
    {
        ResetConfiguration();
        std::strcpy(g_dns_server_ip, "127.0.0.1");
        g_dns_server_port = dns.Port();
        FreeChannelTable();
    }
    void TearDown() override
    {
        FreeChannelTable();
        g_dns_server_port = 53;
    }
    std::shared_ptr<ChannelTable> Load(const char* file, const std::string& text)
    {
        dir.WriteFile(file, text);
        EXPECT_EQ(LoadChannelTable(true), 1);
        return CurrentChannels();
    }
    std::shared_ptr<ChannelTable> LoadXml(const std::string& channels)
    {
        return Load("channel_definition.xml", kXmlHead + channels);
    }
};

using ConvertingTheOldChannelFile = ChannelFixture;

TEST_F(ConvertingTheOldChannelFile, WinsOverTheXmlFileWhichIsRewrittenFromItAndKeptAsBackup)
{
    const std::string previous = kXmlHead + "<ch src=\"rtp://:7000\">Previous</ch>\r\n";
    dir.WriteFile("channel_definition.xml", previous);
    const std::string old_text = "[ch1]\r\nudp://239.2.2.2:6002\r\n[ch2]\r\nhttp://user:pw@10.0.0.5/live/a.ts\r\n"
                                 "[ch7]\r\nrtsp://camera.local/stream\r\n";
    auto table = Load("iptvepg.txt", old_text);
    ASSERT_EQ(table->Count(), 3);
    EXPECT_EQ(Channel(*table, 0), "[ch1] 1: 8 239.2.2.2:6002");
    EXPECT_EQ(Channel(*table, 2), "[ch3] 1: 3 camera.local:554/stream");

    EXPECT_EQ(dir.ReadFile("channel_definition.xml"),
              kXmlHead + "<ch src=\"udp://239.2.2.2:6002\">[ch1]</ch>\r\n"
                         "<ch src=\"http://user:pw@10.0.0.5/live/a.ts\">[ch2]</ch>\r\n"
                         "<ch src=\"rtsp://camera.local/stream\">[ch3]</ch>\r\n");
    EXPECT_EQ(dir.ReadFile("channel_definition_backup.xml"), previous);
    EXPECT_FALSE(dir.Exists("iptvepg.txt"));
    EXPECT_EQ(dir.ReadFile("iptvepg_old.txt"), old_text);

    ASSERT_EQ(LoadChannelTable(true), 1);         // now from the converted file
    ASSERT_EQ(CurrentChannels()->Count(), 3);
    EXPECT_EQ(Channel(*CurrentChannels(), 1), "[ch2] 1: 5 user:pw@10.0.0.5:80/live/a.ts");
}

TEST_F(ConvertingTheOldChannelFile, ADvbLineDefinesChannelsSharingItsAddressAndOnlyTheFirstKeepsTheSource)
{
    auto table = Load("iptvepg.txt", "[ch1]\r\nudp://:6000\r\n[ch2]\r\ndvb://239.0.0.1:1234,3\r\n"
                                     "[ch3]\r\ndvb://239.0.0.9:1300\r\n[ch4]\r\nrtp://:7000\r\n");
    ASSERT_EQ(table->Count(), 5);                  // the dvb line without a count defines none
    EXPECT_EQ(Channel(*table, 1), "[ch2] 1: 10 239.0.0.1:1234");
    EXPECT_EQ(Channel(*table, 2), "[ch3] 1: 10 239.0.0.1:1234 dvb 1/1");
    EXPECT_EQ(Channel(*table, 3), "[ch4] 1: 10 239.0.0.1:1234 dvb 1/1");
    EXPECT_EQ(Channel(*table, 4), "[ch5] 1: 2 :7000");
    EXPECT_EQ(dir.ReadFile("channel_definition.xml"),
              kXmlHead + "<ch src=\"udp://:6000\">[ch1]</ch>\r\n<ch src=\"dvb://239.0.0.1:1234,3\">[ch2]</ch>\r\n"
                         "<ch >[ch3]</ch>\r\n<ch >[ch4]</ch>\r\n<ch src=\"rtp://:7000\">[ch5]</ch>\r\n");

    // Read back, the multiplex keeps its further programs and the channels after it load.
    ASSERT_EQ(LoadChannelTable(true), 1);
    auto xml = CurrentChannels();
    ASSERT_EQ(xml->Count(), 5);
    EXPECT_EQ(Channel(*xml, 0), "[ch1] 1: 9 :6000");
    EXPECT_EQ(Channel(*xml, 1), "[ch2] 1: 10 239.0.0.1:1234");
    EXPECT_EQ(Channel(*xml, 2), "[ch3] 1: 10 239.0.0.1:1234 dvb 1/1");
    EXPECT_EQ(Channel(*xml, 3), "[ch4] 1: 10 239.0.0.1:1234 dvb 1/1");
    EXPECT_EQ(Channel(*xml, 4), "[ch5] 1: 2 :7000");
}

TEST_F(ConvertingTheOldChannelFile, AnAbsurdProgramCountIsCutAtTheSixteenBitChannelCount)
{
    auto table = Load("iptvepg.txt", "[ch1]\r\nudp://:6000\r\n[ch2]\r\ndvb://:1234,2000000000\r\n");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->Count(), kMaxChannels);
    EXPECT_EQ(Channel(*table, 1), "[ch2] 1: 11 :1234");
}

TEST_F(ConvertingTheOldChannelFile, FolderLinesAreUnderTheVideoPathAndDir4KeepsItsSourceButIsLostInXml)
{
    const std::string videos = dir.PathOf("videos");
    CopyText(g_config.videopath, videos);
    dir.WriteBytes("videos/x/one.ts", TenSecondTs(100));
    auto table = Load("iptvepg.txt", "[ch1]\r\ndir://x\r\n[ch2]\r\ndir4://x\r\n");
    ASSERT_EQ(table->Count(), 2);
    EXPECT_EQ(std::string(table->channels[0]->src), "dir://" + videos + "/x");
    EXPECT_EQ(Channel(*table, 0), "[ch1] 1: 0 :0/" + videos + "/x/one.ts");
    EXPECT_STREQ(table->channels[1]->src, "dir4://x");

    ASSERT_EQ(LoadChannelTable(true), 1);
    EXPECT_EQ(Channel(*CurrentChannels(), 0), "[ch1] 1: 0 :0/" + videos + "/x/one.ts");
    EXPECT_TRUE(Unusable(*CurrentChannels(), 1)) << Channel(*CurrentChannels(), 1);
}

TEST_F(ConvertingTheOldChannelFile, AFailedNameLookupAbandonsTheLoadAndConvertsNothing)
{
    auto before = LoadXml("<ch src=\"rtp://:5000\">Kept</ch>\r\n");
    const std::string xml = dir.ReadFile("channel_definition.xml");
    dir.WriteFile("iptvepg.txt", "[ch1]\r\nrtp://:5001\r\n[ch2]\r\nhttp://missing.test:8080/live\r\n");
    EXPECT_EQ(LoadChannelTable(true), 0);
    EXPECT_EQ(dns.Queries(), 1);
    EXPECT_EQ(CurrentChannels(), before);
    EXPECT_EQ(dir.ReadFile("channel_definition.xml"), xml);
    EXPECT_FALSE(dir.Exists("channel_definition_backup.xml"));
    EXPECT_FALSE(dir.Exists("iptvepg_old.txt"));
}

TEST(WritingTheChannelDefinitionFile, OnlyNonEmptyAttributesAreWrittenAndAnEmptyNameLeavesTheElementEmpty)
{
    TempWorkDir dir;
    ChannelTable table;
    for (const auto& [src, img, rec_folder, name] : std::vector<std::array<const char*, 4>>{
             {"udp://:1", "logo.png", "/rec", "News"}, {"rtp://:2", "", "", "Plain"},
             {"", "b.png", "", ""}, {"", "", "/r2", "X"}}) {
        auto channel = std::make_unique<ChannelRecord>();
        CopyText(channel->src, src);
        CopyText(channel->img, img);
        CopyText(channel->rec_folder, rec_folder);
        CopyText(channel->name, name);
        table.channels.push_back(std::move(channel));
    }
    ASSERT_EQ(WriteChannelDefinitionFile(table), 1);
    EXPECT_EQ(dir.ReadFile("channel_definition.xml"),
              kXmlHead + "<ch src=\"udp://:1\" img=\"logo.png\" rec_folder=\"/rec\">News</ch>\r\n"
                         "<ch src=\"rtp://:2\">Plain</ch>\r\n"
                         "<ch  img=\"b.png\"></ch>\r\n<ch  rec_folder=\"/r2\">X</ch>\r\n");
    EXPECT_FALSE(dir.Exists("channel_definition_temp.xml"));
}

using ReadingXmlChannels = ChannelFixture;

TEST_F(ReadingXmlChannels, AnElementWithoutSourceMakesItAndEveryLaterChannelUnusable)
{
    auto table = LoadXml("<ch src=\"rtp://:5000\" img=\"a>b.png\" rec_folder=\"/rec/a\">First</ch>\r\n"
                         "<ch img=\"b.png\">Second</ch>\r\n<ch src=\"udp://:6000\">Third</ch>\r\n");
    ASSERT_EQ(table->Count(), 3);
    EXPECT_EQ(Channel(*table, 0), "First 1: 2 :5000");
    EXPECT_STREQ(table->channels[0]->img, "a>b.png");
    EXPECT_STREQ(table->channels[0]->rec_folder, "/rec/a");
    EXPECT_TRUE(Unusable(*table, 1)) << Channel(*table, 1);
    EXPECT_TRUE(Unusable(*table, 2)) << Channel(*table, 2);
}

TEST_F(ReadingXmlChannels, DatagramSourcesWithoutHostListenOnThePortAndWithOneJoinTheGroup)
{
    auto table = LoadXml("<ch src=\"rtp://:5000\">a</ch><ch src=\"rtp://5001\">b</ch>"
                         "<ch src=\"rtp://239.1.1.1:5002\">c</ch><ch src=\"udp://:6000\">d</ch>"
                         "<ch src=\"udp://6001\">e</ch><ch src=\"udp://239.2.2.2:6002\">f</ch>");
    const char* expected[] = {"a 1: 2 :5000", "b 1: 2 :5001", "c 1: 1 239.1.1.1:5002",
                              "d 1: 9 :6000", "e 1: 9 :6001", "f 1: 8 239.2.2.2:6002"};
    ASSERT_EQ(table->Count(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Channel(*table, i), expected[i]);
}

TEST_F(ReadingXmlChannels, OverlongValuesAreCutToTheirFields)
{
    const std::string name(40, 'n'), host(600, 'h'), credentials(200, 'c'), path(300, 'p'), image(300, 'i');
    auto table = LoadXml("<ch src=\"rtp://" + host + ":5000\" img=\"" + image + "\" rec_folder=\"" + image + "\">" + name +
                         "</ch><ch src=\"http://" + credentials + "@" + host + "/" + path + "\">x</ch>");
    ASSERT_EQ(table->Count(), 2);
    const ChannelRecord& first = *table->channels[0];
    EXPECT_EQ(std::string(first.src), ("rtp://" + host).substr(0, kChannelSrcSize - 1));
    EXPECT_EQ(std::string(first.img), image.substr(0, kChannelImgSize - 1));
    EXPECT_EQ(std::string(first.rec_folder), image.substr(0, kRecFolderSize - 1));
    const std::string cut_host = host.substr(0, kSourceHostSize - 1);
    EXPECT_EQ(Channel(*table, 0), name.substr(0, kChannelNameSize - 1) + " 1: 1 " + cut_host + ":5000");
    EXPECT_EQ(Channel(*table, 1), "x 1: 5 " + credentials.substr(0, kCredentialsSize - 1) + "@" + cut_host + ":80/" +
                                      path.substr(0, kSourcePathSize - 1));
    EXPECT_EQ(table->channels[1]->FirstSource()->file.bitrate_kbps, 1024);
}

using ResolvingPullSources = ChannelFixture;

TEST_F(ResolvingPullSources, SourcesWithoutPortKeepTheirHostAndDefaultPortWithoutALookup)
{
    auto table = LoadXml("<ch src=\"http://user:pw@10.0.0.5/live/a.ts\">a</ch><ch src=\"rtsp://camera.local/stream\">b</ch>"
                         "<ch src=\"http://tv.example.test/live/c.ts\">c</ch>");
    ASSERT_EQ(table->Count(), 3);
    EXPECT_EQ(Channel(*table, 0), "a 1: 5 user:pw@10.0.0.5:80/live/a.ts");
    EXPECT_EQ(Channel(*table, 1), "b 1: 3 camera.local:554/stream");
    EXPECT_EQ(Channel(*table, 2), "c 1: 5 tv.example.test:80/live/c.ts");
    EXPECT_EQ(dns.Queries(), 0);
}

TEST_F(ResolvingPullSources, AHostNameWithAPortIsResolvedToDottedText)
{
    auto table = LoadXml("<ch src=\"http://tv.example.test:8080/live/b.ts\">a</ch>");
    ASSERT_EQ(table->Count(), 1);
    EXPECT_EQ(Channel(*table, 0), "a 1: 5 192.0.2.77:8080/live/b.ts");
    EXPECT_EQ(dns.Queries(), 1);
}

TEST_F(ResolvingPullSources, AFailedLookupInXmlIsLoggedAndLeavesPortZeroButTheLoadGoesOn)
{
    StderrCapture captured;
    auto table = LoadXml("<ch src=\"http://missing.test:8080/live\">a</ch><ch src=\"udp://:6000\">b</ch>");
    ASSERT_EQ(table->Count(), 2);
    EXPECT_EQ(table->channels[0]->FirstSource()->port, 0);
    EXPECT_EQ(Channel(*table, 1), "b 1: 9 :6000");
    const std::string log = captured.Text();
    EXPECT_NE(log.find("network error ["), std::string::npos) << log;
    EXPECT_NE(log.find("Can not connect to missing.test\n"), std::string::npos) << log;
}

using ScanningAFolderChannel = ChannelFixture;

TEST_F(ScanningAFolderChannel, SortsFilesByByteOrderAndTimesThemFromTheirProbedBitrate)
{
    // Written in neither the sorted order nor its reverse; the folder "sub.ts" is no file.
    dir.WriteBytes("media/Z.ts", TenSecondTs(2000));        // 376 000 bytes in 10 s: 300 kbit/s
    dir.WriteBytes("media/M.mp4", Mp4Of(300000, 3));        // 300 000 bytes in 3 s: 800 kbit/s
    dir.WriteBytes("media/a.ts", TenSecondTs(4000));        // 752 000 bytes in 10 s: 601 kbit/s
    dir.MakeDir("media/sub.ts");
    auto table = LoadXml("<ch src=\"dir://media\">Films</ch><ch src=\"dir://nowhere\">Gone</ch>");
    ASSERT_EQ(table->Count(), 2);
    std::string files;
    for (const auto& file : table->channels[0]->sources)
        files += std::string(file->path()) + " " + std::to_string(file->kind) + " " + std::to_string(file->file.size) +
                 "B " + std::to_string(file->file.bitrate_kbps) + "k " + std::to_string(file->send_interval_us) +
                 "us " + std::to_string(file->file.duration) + "s\n";
    EXPECT_EQ(files, "media/M.mp4 12 300000B 800k 13160us 2s\n"
                     "media/Z.ts 0 376000B 300k 35093us 9s\n"
                     "media/a.ts 0 752000B 601k 17517us 9s\n");
    EXPECT_EQ(table->channels[0]->program_count, 3);
    EXPECT_EQ(table->channels[0]->total_duration, 20u);
    EXPECT_EQ(Channel(*table, 1), "Gone 0: -1 :0");    // a missing folder
}

using LoadingResults = ChannelFixture;

TEST_F(LoadingResults, AnXmlFileWithoutChannelsPublishesAnEmptyTable)
{
    ASSERT_EQ(LoadXml("<ch src=\"udp://:6000\">a</ch>")->Count(), 1);
    EXPECT_EQ(LoadXml("<!-- no channel yet -->\r\n")->Count(), 0);
}

TEST_F(LoadingResults, NoChannelFileOrAnOldFileWithoutChannelsFailsAndKeepsTheTable)
{
    EXPECT_EQ(LoadChannelTable(false), 0);
    auto before = LoadXml("<ch src=\"udp://:6000\">a</ch>");
    const std::string xml = dir.ReadFile("channel_definition.xml");
    for (const char* old_text : {"no channels here\r\n", "[ch1]\r\ndvb://239.0.0.1:1234\r\n"}) {
        dir.WriteFile("iptvepg.txt", old_text);
        EXPECT_EQ(LoadChannelTable(true), 0) << old_text;
        EXPECT_EQ(CurrentChannels(), before) << old_text;
        EXPECT_EQ(dir.ReadFile("channel_definition.xml"), xml) << old_text;
        EXPECT_TRUE(dir.Exists("iptvepg.txt")) << old_text;
    }
}

TEST(PublishingATable, AReaderHoldingTheOldTableStillSeesItsRecordsAfterAReload)
{
    TempWorkDir dir;
    dir.WriteBytes("media/a.ts", TenSecondTs(100));
    dir.WriteFile("channel_definition.xml", kXmlHead + "<ch src=\"rtp://:5000\">One</ch><ch src=\"dir://media\">Two</ch>");
    ASSERT_EQ(LoadChannelTable(false), 1);
    const std::shared_ptr<ChannelTable> held = CurrentChannels();

    dir.WriteFile("channel_definition.xml", kXmlHead + "<ch src=\"udp://:6000\">New</ch>");
    ASSERT_EQ(LoadChannelTable(true), 1);
    ASSERT_EQ(CurrentChannels()->Count(), 1);
    EXPECT_EQ(Channel(*CurrentChannels(), 0), "New 1: 9 :6000");
    FreeChannelTable();

    ASSERT_EQ(held->Count(), 2);
    EXPECT_EQ(Channel(*held, 0), "One 1: 2 :5000");
    EXPECT_EQ(Channel(*held, 1), "Two 1: 0 :0/media/a.ts");
}

}  // namespace

namespace {

using MendedFaults = ChannelFixture;

TEST_F(MendedFaults, AConversionThatCannotBeWrittenKeepsTheOldFile)
{
    dir.WriteFile("iptvepg.txt", "[ch1]\r\nrtp://:7000\r\n");
    dir.MakeDir("channel_definition_temp.xml");                   // the temporary file cannot be made
    ASSERT_EQ(LoadChannelTable(false), 1);
    EXPECT_TRUE(dir.Exists("iptvepg.txt"));
    EXPECT_FALSE(dir.Exists("iptvepg_old.txt"));
}

TEST_F(MendedFaults, ColonsAndAtSignsInThePathBelongToThePath)
{
    dir.WriteFile("channel_definition.xml", kXmlHead + "<ch src=\"http://10.0.0.5/live/a:b.ts\">A</ch>\r\n"
                                                       "<ch src=\"http://10.0.0.5/live/a@2x.ts\">B</ch>\r\n");
    ASSERT_EQ(LoadChannelTable(false), 1);
    const auto table = CurrentChannels();
    EXPECT_EQ(Channel(*table, 0), "A 1: 5 10.0.0.5:80/live/a:b.ts");
    EXPECT_EQ(Channel(*table, 1), "B 1: 5 10.0.0.5:80/live/a@2x.ts");
}

TEST_F(MendedFaults, APasswordHoldingAnAtSignStaysWithTheCredentials)
{
    dir.WriteFile("channel_definition.xml", kXmlHead + "<ch src=\"http://user:p@ss@10.0.0.5/live/a.ts\">A</ch>\r\n");
    ASSERT_EQ(LoadChannelTable(false), 1);
    EXPECT_EQ(Channel(*CurrentChannels(), 0), "A 1: 5 user:p@ss@10.0.0.5:80/live/a.ts");
}

TEST_F(MendedFaults, AnEmptyFolderNameScansTheWorkingFolderWithRelativePaths)
{
    dir.WriteBytes("f.ts", TenSecondTs(50));
    dir.WriteFile("channel_definition.xml", kXmlHead + "<ch src=\"dir://\">Here</ch>\r\n");
    ASSERT_EQ(LoadChannelTable(false), 1);
    const auto table = CurrentChannels();
    for (const auto& source : table->channels[0]->sources) EXPECT_EQ(std::string(source->path()).rfind("./", 0), 0u);
}

TEST_F(MendedFaults, OnlyDvbSourcesCountTheirPrograms)
{
    dir.WriteFile("iptvepg.txt", "[ch1]\r\ndvbs://1.2.3.4:5,3\r\n[ch2]\r\nudp://5000\r\n");
    ASSERT_EQ(LoadChannelTable(false), 1);
    const auto table = CurrentChannels();
    ASSERT_EQ(table->Count(), 2);
    EXPECT_TRUE(Unusable(*table, 0));
    EXPECT_EQ(Channel(*table, 1), "[ch2] 1: 9 :5000");
}

}  // namespace
