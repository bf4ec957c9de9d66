// The CGI gateway's texts: the program name a request may run, the trimmed output and its
// header, the film part of an upload body.

#include "http/http_cgi.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

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

// The film found from its head, ended where FindUploadEnd reads it piece by piece.
std::string FilmOf(const std::string& body, std::size_t head_size, std::size_t piece, std::string* name = nullptr)
{
    UploadPart part;
    if (!LocateUploadPart(std::string_view(body).substr(0, head_size), "----b7", part)) return "<no file part>";
    const BodyReader read = [&](uint64_t offset, char* buffer, std::size_t size) {
        const std::size_t got = offset >= body.size() ? 0 : std::min(size, body.size() - offset);
        body.copy(buffer, got, offset);
        return got;
    };
    const int64_t end = FindUploadEnd(read, part.data_begin, body.size(), "----b7", piece);
    if (end < 0) return "<no end>";
    if (name != nullptr) *name = part.filename;
    return body.substr(part.data_begin, static_cast<std::size_t>(end) - part.data_begin);
}

TEST(CgiUpload, TheFileIsThePartNamingOneAndEndsAtItsOwnBoundary)
{
    // Film bytes that look like a boundary line without being one, a zero byte and a line break.
    static const char kFilm[] = "\x47\x00\x11\r\n--not-it\r\n------b7x\x00\r\n";
    const std::string data(kFilm, sizeof kFilm - 1);
    const std::string body = "preamble\r\n------b7\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nMy film\r\n"
                             "------b7\r\nContent-Disposition: form-data; name=\"empty\"; filename=\"\"\r\n\r\n\r\n"
                             "------b7\r\nContent-Disposition: form-data; name=\"film\"; filename=\"clip.ts\"\r\n"
                             "Content-Type: video/mp2t\r\n\r\n" + data + "\r\n------b7\r\n"
                             "Content-Disposition: form-data; name=\"after\"\r\n\r\nnot film\r\n------b7--\r\n";
    std::string name;
    EXPECT_EQ(FilmOf(body, body.size(), 65536, &name), data);
    EXPECT_EQ(name, "clip.ts");
    // Read in pieces of every size a boundary line allows, the end is the same.
    for (std::size_t piece = 1; piece < 64; ++piece) EXPECT_EQ(FilmOf(body, body.size(), piece), data) << piece;

    const std::string empty_film = "------b7\r\nContent-Disposition: form-data; filename=\"a.ts\"\r\n\r\n\r\n------b7--";
    EXPECT_EQ(FilmOf(empty_film, empty_film.size(), 65536), "");
    const std::string no_file = "------b7\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nabc\r\n------b7--\r\n";
    EXPECT_EQ(FilmOf(no_file, no_file.size(), 65536), "<no file part>");
    const std::string no_end = "------b7\r\nContent-Disposition: form-data; filename=\"a.ts\"\r\n\r\nabc";
    EXPECT_EQ(FilmOf(no_end, no_end.size(), 65536), "<no end>");
    // The file part's headers must lie in the head that is searched.
    EXPECT_EQ(FilmOf(body, 100, 65536), "<no file part>");
}

TEST(CgiUpload, NamesThatLeaveTheFolderAreRefused)
{
    EXPECT_TRUE(IsSafeUploadName("film 1.ts"));
    for (const char* bad : {"", "../x.ts", "a/b.ts", "a\\b.ts", "..", "x..ts", ".hidden", "a\nb"})
        EXPECT_FALSE(IsSafeUploadName(bad)) << bad;
}

}  // namespace
