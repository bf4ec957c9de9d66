#include "rest/rest_common.h"

#include <gtest/gtest.h>

#include <string>

TEST(RestText, DecodesTheKnownCodesAndTurnsOthersIntoQuestionMarks)
{
    EXPECT_EQ(UrlDecode("a%3Ab%3ac%2F%2e%22%20%26%3D%2C%3f"), "a:b:c/.\" &=,?");
    EXPECT_EQ(UrlDecode("%41+b"), "?+b");
    EXPECT_EQ(UrlDecode("50%"), "50%");
    EXPECT_EQ(UrlDecode("50%25%20off"), "50% off");                // nothing after the sign: kept
    EXPECT_EQ(UrlDecode("5%2"), "5%2");
}

TEST(RestText, CommandIsThePathSegmentAndParametersAreWholePairs)
{
    const RestText request = SplitRestText("add_user?token=7&username=shutdown_fan&oldpassword=x&password=a%26b\r\nTTP/1.1");
    EXPECT_EQ(request.command, "add_user");
    EXPECT_TRUE(request.query_ended);
    std::string value;
    ASSERT_TRUE(RestParameter(request, "password", value));
    EXPECT_EQ(value, "a&b");                            // split first, then decoded
    ASSERT_TRUE(RestParameter(request, "username", value));
    EXPECT_EQ(value, "shutdown_fan");
    EXPECT_FALSE(RestParameter(request, "name", value));
    EXPECT_FALSE(RestParameter(request, "user", value));

    const RestText empty_value = SplitRestText("x?token=&a=1\r\n");
    ASSERT_TRUE(RestParameter(empty_value, "token", value));
    EXPECT_EQ(value, "");
}

TEST(RestText, TheLastValueNeedsTheLineEnd)
{
    const RestText open_ended = SplitRestText("shutdown?a=1&token=5");
    std::string value;
    EXPECT_FALSE(open_ended.query_ended);
    EXPECT_TRUE(RestParameter(open_ended, "a", value));
    EXPECT_FALSE(RestParameter(open_ended, "token", value));

    const RestText no_query = SplitRestText("shutdown\r\n\r\n");
    EXPECT_EQ(no_query.command, "shutdown");
    EXPECT_FALSE(RestParameter(no_query, "token", value));
}

TEST(RestText, LongHeaderCarriesTheLength)
{
    EXPECT_EQ(RestLongHeader(12),
              "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Quorvane/6.0\r\nContent-Length: 12\r\n"
              "Keep-Alive: timeout=15, max=500\r\nConnection: Keep-Alive\r\n\r\n");
}
