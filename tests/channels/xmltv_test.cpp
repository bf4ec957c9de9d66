#include "channels/xmltv.h"

#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// One line per record, so a failing comparison shows what differs.
std::string Dump(const XmltvGuide& guide)
{
    std::string out;
    for (const XmltvChannel& channel : guide.channels) {
        out += "channel [" + channel.id + "] icon [" + channel.icon + "]";
        for (const std::string& name : channel.names) out += " name [" + name + "]";
        out += "\n";
    }
    for (const XmltvProgramme& programme : guide.programmes)
        out += "programme [" + programme.channel + "] " + std::to_string(programme.start) + "-" +
               std::to_string(programme.stop) + " [" + programme.title + "] [" + programme.description + "]\n";
    return out;
}

XmltvGuide Read(const std::string& text)
{
    XmltvGuide guide;
    std::string error;
    EXPECT_TRUE(ReadXmltv(text, guide, error)) << error;
    return guide;
}

constexpr char kGuide[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE tv SYSTEM "xmltv.dtd" [ <!ENTITY x "a>b"> <!-- ] > --> ]>
<?xml-stylesheet href="guide.xsl" type="text/xsl"?>
<!-- <tv> is below -->
<tv source-info-name='Example' generator-info-name="gen">
  <channel id="one.example">
    <display-name lang="en">One &amp; Only</display-name>
    <display-name lang="fr">Un</display-name>
    <display-name>1</display-name>
    <icon src="http://127.0.0.1/logos/one.png?a=1&amp;b=2" width="64" height="64" />
    <url>http://127.0.0.1/one</url>
  </channel>
  <channel id = 'two.example' ><display-name>Caf&#233; &#x2603; &bogus; &#xD800; &#65 &#0;</display-name></channel>
  <channel><display-name>No id</display-name></channel>
  <programme start="20261210183000 +0100" stop="20261210193000 +0100" channel="one.example">
    <credits><actor role="host"><title>not the title</title></actor></credits>
    <title lang="en">Evening &lt;News&gt;</title>
    <title lang="fr">Journal</title>
    <sub-title>Part 1</sub-title>
    <desc lang="en"><![CDATA[Fish & <chips>]]> and "more"</desc>
    <category lang="en">News</category>
    <rating system="MPAA"><value>PG</value><icon src="pg.png"/></rating>
  </programme>
  <programme start="202612101300 -0500" channel="two.example">
    <title>Late)"
                        "\r\n"
                        R"(Show</title>
  </programme>
  <programme start="20261210190000" stop="garbage" channel="two.example"><title/></programme>
  <programme start="soon" channel="two.example"><title>no start</title></programme>
  <programme start="20261210190000"><title>no channel</title></programme>
</tv>
<!-- after the root -->
)";

TEST(XmltvReading, ARealisticGuideGivesItsChannelsAndProgrammesInUtc)
{
    EXPECT_EQ(Dump(Read(kGuide)),
              "channel [one.example] icon [http://127.0.0.1/logos/one.png?a=1&b=2] name [One & Only] name [Un] name [1]\n"
              "channel [two.example] icon [] name [Caf\xC3\xA9 \xE2\x98\x83 &bogus; &#xD800; &#65 &#0;]\n"
              "programme [one.example] 1796923800-1796927400 [Evening <News>] [Fish & <chips> and \"more\"]\n"
              "programme [two.example] 1796925600-0 [Late\nShow] []\n"
              "programme [two.example] 1796929200-0 [] []\n");

    // The declared Latin-1 is converted; long texts are cut without splitting a character.
    const std::string long_name = std::string(kXmltvMaxText - 1, 'a') + "\xE9";
    const XmltvGuide latin = Read("<?xml version='1.0' encoding='ISO-8859-1'?>\n<tv><channel id='c'><display-name>Caf\xE9</display-name>"
                                  "<display-name>" + long_name + "</display-name></channel></tv>");
    ASSERT_EQ(latin.channels.size(), 1u);
    ASSERT_EQ(latin.channels[0].names.size(), 2u);
    EXPECT_EQ(latin.channels[0].names[0], "Caf\xC3\xA9");
    EXPECT_EQ(latin.channels[0].names[1], std::string(kXmltvMaxText - 1, 'a'));
}

TEST(XmltvTimes, OffsetsAndShortFormsGiveUtcSecondsAndAnythingElseIsRefused)
{
    EXPECT_EQ(ParseXmltvTime("20261210183000 +0100"), 1796923800);
    EXPECT_EQ(ParseXmltvTime("20261210183000 -0500"), 1796945400);
    EXPECT_EQ(ParseXmltvTime("202612101830"), 1796927400);
    EXPECT_EQ(ParseXmltvTime(" 20261210183000+0100 "), 1796923800);
    EXPECT_EQ(ParseXmltvTime("20240229120000 UTC"), 1709208000);
    EXPECT_EQ(ParseXmltvTime("99991231235959"), 253402300799);
    EXPECT_EQ(ParseXmltvTime("19700101000000"), 0);
    EXPECT_EQ(XmltvTime(1796923800), "20261210173000 +0000");
    for (const char* bad : {"", "2026121018", "2026121018300", "20261310183000", "20250229120000", "20261210246000",
                            "20261210183000 +01", "20261210183000 CET", "19700101000000 +0100", "99991231235959 -0100",
                            "2026121018300x"})
        EXPECT_EQ(ParseXmltvTime(bad), -1) << bad;
}

TEST(XmltvRefusals, BrokenDocumentsAreRefusedWithAOneLineReasonAndSloppyOnesRead)
{
    const std::string valid =
        "<?xml version='1.0'?><tv><channel id='c'><display-name>C</display-name></channel>"
        "<programme start='20261210183000' channel='c'><title>T</title><desc>D &amp; <![CDATA[x]]></desc></programme></tv>";
    std::string deep = "<tv>";
    for (int i = 0; i < kXmltvMaxDepth; ++i) deep += "<a>";
    std::vector<std::string> broken = {
        "",
        "just text",
        "{\"tv\": []}",
        "<html><body>guide</body></html>",
        "<tv><programme start='20261210183000' channel='c'><title>T</programme></tv>",
        "<tv><channel id='c'></tv>",
        "<tv></channel></tv>",
        "<tv><channel id='c\x01\n'></channel></tv\n",
        deep,
    };
    // Every cut of a valid document inside its <tv> element.
    for (std::size_t end = valid.find("<tv>") + 1; end < valid.size(); ++end) broken.push_back(valid.substr(0, end));
    for (const std::string& text : broken) {
        XmltvGuide guide;
        std::string error;
        EXPECT_FALSE(ReadXmltv(text, guide, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }

    // Unclosed and stray elements the guide does not read, a "<" in text, unquoted attributes.
    EXPECT_EQ(Dump(Read("<tv><channel id=c><display-name>A<br>B</display-name></b></channel>"
                        "<programme start=20261210183000 channel=c><title>1 < 2</title></programme><foo></tv>")),
              "channel [c] icon [] name [A]\nprogramme [c] 1796927400-0 [1 < 2] []\n");
}

TEST(XmltvWriting, WrittenGuidesPassTheDtdAndReadBackTheSame)
{
    XmltvGuide guide;
    guide.channels.push_back({"a&b \"1\"", {"<One>", "Two's"}, "http://127.0.0.1/a.png?x=1&y=2"});
    guide.channels.push_back({"tab\there", {}, ""});
    guide.programmes.push_back({"a&b \"1\"", 1796923800, 1796927400, "Fish & <chips>", "line one\nline two\tend"});
    guide.programmes.push_back({"tab\there", 1796927400, 0, "", ""});
    guide.programmes.push_back({"tab\there", 1796929200, 0, "bad \xFF\xC0\x80 bytes \x01\x7F\xEF\xBF\xBF", "]]> <!-- -->"});
    const std::string document = WriteXmltv(guide, "Quorvane \"test\"");

    XmltvGuide expected = guide;
    expected.programmes[2].title = "bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD bytes \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
    EXPECT_EQ(Dump(Read(document)), Dump(expected));
    EXPECT_EQ(XmlEscape("a&<>\"'\t\n\r\xC3\xA9\xC2\x85\xFF"), "a&amp;&lt;&gt;&quot;&apos;\t\n\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD");

    const char* dtd = "/usr/share/sgml/xmltv/dtd/0.5/xmltv.dtd";
    if (access(dtd, R_OK) != 0 || access("/usr/bin/xmllint", X_OK) != 0)
        GTEST_SKIP() << "xmllint or the XMLTV DTD is not installed";
    TempWorkDir folder(false);
    folder.WriteFile("guide.xml", document);
    ChildProgram xmllint;
    ASSERT_TRUE(xmllint.Start({"/usr/bin/xmllint", "--noout", "--dtdvalid", dtd, folder.PathOf("guide.xml")}, folder.Path()));
    EXPECT_EQ(xmllint.WaitExit(20000), 0) << xmllint.Stderr() << document;
}

}  // namespace
