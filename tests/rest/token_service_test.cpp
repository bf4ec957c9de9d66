#include "rest/token_service.h"

#include "core/platform/platform.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

class Tokens : public ::testing::Test {
protected:
    void TearDown() override { FreeAllTokens(); }
};

TEST_F(Tokens, AreEighteenRandomDigitsWithoutALeadingZero)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        char token[kTokenSize];
        CreateToken("bob", token);
        const std::string text(token);
        ASSERT_EQ(text.size(), 18u);
        EXPECT_NE(text[0], '0');
        for (const char c : text) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)));
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST_F(Tokens, FindTheirUserAndOnlyRootsPassTheRootCheck)
{
    char root[kTokenSize];
    char other[kTokenSize];
    char first_bob[kTokenSize];
    char second_bob[kTokenSize];
    CreateToken("root", root);
    CreateToken("Root", other);
    CreateToken("bob", first_bob);
    CreateToken("bob", second_bob);

    char user[kTokenUserSize];
    ASSERT_TRUE(FindToken(second_bob, user));
    EXPECT_STREQ(user, "bob");
    EXPECT_FALSE(FindToken("123456789012345678", user));
    char found[kTokenSize];
    ASSERT_TRUE(FindTokenOfUser("BOB", found));
    EXPECT_STREQ(found, first_bob);

    EXPECT_EQ(IsRootToken(root), 1);
    EXPECT_EQ(IsRootToken(other), 0);
    EXPECT_EQ(IsRootToken(first_bob), 0);
    EXPECT_EQ(IsRootToken(""), 0);
}

TEST_F(Tokens, UnusedForADayExpireAndAUseKeepsThemAlive)
{
    char idle[kTokenSize];
    char used[kTokenSize];
    CreateToken("idle", idle);
    CreateToken("used", used);
    EXPECT_EQ(ExpireIdleTokens(GetTickMs() + kTokenIdleLimitMs - 1000), 0);
    SleepMs(30);
    const uint64_t before_use = GetTickMs();
    char user[kTokenUserSize];
    ASSERT_TRUE(FindToken(used, user));                 // a use at before_use or later
    EXPECT_EQ(ExpireIdleTokens(before_use + kTokenIdleLimitMs - 10), 1);
    EXPECT_FALSE(FindToken(idle, user));
    EXPECT_TRUE(FindToken(used, user));
}

TEST_F(Tokens, AUserKeepsSixteenAndASeventeenthPushesOutTheOldest)
{
    std::vector<std::string> others;
    for (int i = 0; i < 300; ++i) {
        char token[kTokenSize];
        CreateToken(("user" + std::to_string(i)).c_str(), token);
        others.emplace_back(token);
    }
    char bob[kTokensPerUser + 1][kTokenSize];
    for (char (&token)[kTokenSize] : bob) CreateToken("bob", token);

    char user[kTokenUserSize];
    EXPECT_FALSE(FindToken(bob[0], user));
    for (std::size_t i = 1; i <= kTokensPerUser; ++i) {
        ASSERT_TRUE(FindToken(bob[i], user)) << i;
        EXPECT_STREQ(user, "bob");
    }
    char first[kTokenSize];
    ASSERT_TRUE(FindTokenOfUser("Bob", first));          // destroytoken compares this one
    EXPECT_STREQ(first, bob[1]);
    for (std::size_t i = 0; i < others.size(); ++i) {
        ASSERT_TRUE(FindToken(others[i].c_str(), user)) << i;
        EXPECT_EQ(std::string(user), "user" + std::to_string(i));
    }
}
