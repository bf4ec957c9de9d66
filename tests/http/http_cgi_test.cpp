// The CGI gateway's texts: the program name a request may run, the trimmed output and its
// header, the film part of an upload body.

#include "http/http_cgi.h"

#include <gtest/gtest.h>

namespace {

TEST(CgiTarget, OnlyAPlainFileNameOfTheFolderRuns)
{
    CgiTarget target;
    ASSERT_TRUE(ParseCgiTarget("cgi_quorvane?channel_inquery=1&token=5 HTTP/1.1\r\n", target));
    EXPECT_EQ(target.name, "cgi_quorvane");
    EXPECT_TRUE(target.has_query);
    EXPECT_EQ(target.query, "channel_inquery=1&token=5");
    ASSERT_TRUE(ParseCgiTarget("hello.sh HTTP/1.0", target));
    EXPECT_EQ(target.name, "hello.sh");
    EXPECT_FALSE(target.has_query);
    for (const char* bad : {"../../bin/x HTTP/1.1", "sub/x HTTP/1.1", "..?a=1 HTTP/1.1", ".hidden HTTP/1.1",
                            "%2e%2e%2fbin HTTP/1.1", "a\\b HTTP/1.1", " HTTP/1.1", "?q=1 HTTP/1.1", "x;rm HTTP/1.1"})
        EXPECT_FALSE(ParseCgiTarget(bad, target)) << bad;
}

TEST(CgiOutput, IsCutAfterTheClosingTagAndFramedWithItsLength)
{
    EXPECT_EQ(TrimCgiOutput("<html>a</html>trailing text"), "<html>a</html>\r\n");
    EXPECT_EQ(TrimCgiOutput("plain\nanswer"), "plain\nanswer");
    EXPECT_EQ(TrimCgiOutput(std::string(kCgiOutputSize + 10, 'x')).size(), kCgiOutputSize);
    EXPECT_EQ(CgiAnswerHeader(16), "HTTP/1.0 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\n"
                                   "Content-Length: 16\r\nContent-Range: bytes 0-15/16\r\nConnection: close\r\n"
                                   "Content-Type: text/html;charset=big5\r\n\r\n");
}

TEST(CgiUpload, HeadValuesAreRead)
{
    EXPECT_EQ(HeadContentLength("POST /x HTTP/1.1\r\ncontent-LENGTH: 1234\r\n"), 1234);
    EXPECT_EQ(HeadContentLength("POST /x HTTP/1.1\r\nHost: y\r\n"), -1);
    EXPECT_EQ(HeadContentLength("POST /x HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n"), -1);
    EXPECT_EQ(UploadBoundary("Content-Type: multipart/form-data; boundary=----abc\r\n"), "----abc");
    EXPECT_EQ(UploadBoundary("Content-Type: multipart/form-data; boundary=\"q q\"\r\n"), "q q");
    EXPECT_EQ(UploadBoundary("Content-Type: text/plain\r\n"), "");
}

TEST(CgiUpload, TheFilePartLeavesOutHeadersAndTheClosingBoundary)
{
    const std::string data("\x47\x00\x11\r\n--not-it\x00", 14);
    const std::string body = "------b7\r\nContent-Disposition: form-data; name=\"film\"; filename=\"clip.ts\"\r\n"
                             "Content-Type: video/mp2t\r\n\r\n" + data + "\r\n------b7--\r\n";
    UploadPart part;
    ASSERT_TRUE(LocateUploadPart(body, body, 0, body.size(), "----b7", part));
    EXPECT_EQ(part.filename, "clip.ts");
    EXPECT_EQ(body.substr(part.data_begin, part.data_end - part.data_begin), data);
    // The tail is the last bytes only: offsets still count from the start of the body.
    const std::string tail = body.substr(body.size() - 20);
    ASSERT_TRUE(LocateUploadPart(body, tail, body.size() - 20, body.size(), "----b7", part));
    EXPECT_EQ(body.substr(part.data_begin, part.data_end - part.data_begin), data);

    const std::string no_name = "------b7\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nabc\r\n------b7--\r\n";
    EXPECT_FALSE(LocateUploadPart(no_name, no_name, 0, no_name.size(), "----b7", part));
    const std::string no_end = "------b7\r\nContent-Disposition: form-data; filename=\"a.ts\"\r\n\r\nabc";
    EXPECT_FALSE(LocateUploadPart(no_end, no_end, 0, no_end.size(), "----b7", part));
}

TEST(CgiUpload, NamesThatLeaveTheFolderAreRefused)
{
    EXPECT_TRUE(IsSafeUploadName("film 1.ts"));
    for (const char* bad : {"", "../x.ts", "a/b.ts", "a\\b.ts", "..", "x..ts", ".hidden", "a\nb"})
        EXPECT_FALSE(IsSafeUploadName(bad)) << bad;
}

}  // namespace
