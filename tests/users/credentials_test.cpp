#include "users/credentials.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct Credentials {
    char mac[kMacIdSize];
    char user[kCredentialSize];
    char password[kCredentialSize];
};

Credentials Query(const char* query, char first = '&', char second = ':')
{
    Credentials c{};
    ParseQueryCredentials(query, first, second, c.mac, c.user, c.password);
    return c;
}

TEST(QueryCredentials, ReadsUserPasswordAndMacUpToTheSeparator)
{
    const Credentials c = Query("u=bob&p=secret&m=00AABBCCDDEE HTTP/1.1");
    EXPECT_STREQ(c.user, "bob");
    EXPECT_STREQ(c.password, "secret");
    EXPECT_STREQ(c.mac, "00AABBCCDDEE");
}

TEST(QueryCredentials, FindsKeysInsideOtherParameterNames)
{
    EXPECT_STREQ(Query("menu=3&u=bob").user, "3");
}

TEST(QueryCredentials, UsesTheConfiguredCharacterForBothSeparators)
{
    const Credentials c = Query("u=bob$p=a&b", '$', '$');
    EXPECT_STREQ(c.user, "bob");
    EXPECT_STREQ(c.password, "a&b");
}

TEST(QueryCredentials, FallsBackToTheSecondSeparatorThenToEncodedAmpersand)
{
    EXPECT_STREQ(Query("u=bob:x").user, "bob");
    EXPECT_STREQ(Query("u=bob%26p=pw").user, "bob");
    EXPECT_STREQ(Query("u=bob%26p=pw").password, "pw");
}

TEST(QueryCredentials, ClearsWhatIsMissingAndCutsLongValues)
{
    Credentials c{};
    std::snprintf(c.user, sizeof c.user, "old");
    ParseQueryCredentials("x=1", '&', ':', c.mac, c.user, c.password);
    EXPECT_STREQ(c.user, "");
    const std::string mac = "m=" + std::string(40, 'F');
    EXPECT_EQ(std::string(Query(mac.c_str()).mac), std::string(12, 'F'));
    const std::string user = "u=" + std::string(400, 'u');
    EXPECT_EQ(std::string(Query(user.c_str()).user).size(), 127u);
}

TEST(BasicCredentials, DecodeUserAndPassword)
{
    Credentials c{};
    ParseBasicCredentials("Ym9iOnB3OmV4dHJh\r\nHost: x\r\n", c.mac, c.user, c.password);   // bob:pw:extra
    EXPECT_STREQ(c.user, "bob");
    EXPECT_STREQ(c.password, "pw:extra");
    ParseBasicCredentials("Ym9i\r\n", c.mac, c.user, c.password);                           // no colon
    EXPECT_STREQ(c.user, "");
    ParseBasicCredentials("YQ=\r\n", c.mac, c.user, c.password);                            // not base64
    EXPECT_STREQ(c.password, "");
}

}  // namespace
