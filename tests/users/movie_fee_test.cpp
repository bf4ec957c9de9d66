#include "users/movie_fee.h"
#include "users/usage_log.h"
#include "users/user_db.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ReadingTheFeeFile, ALineWithoutACommaIsSkippedAndShiftsNothing)
{
    const auto table = ParseMovieFeeText("a,5\r\n\r\nno comma here\r\nb,7\r\n");
    ASSERT_EQ(table->entries.size(), 2u);
    int32_t fee = 0;
    EXPECT_EQ(table->Find("a", fee), 0);
    EXPECT_EQ(fee, 5);
    EXPECT_EQ(table->Find("b", fee), 1);
    EXPECT_EQ(fee, 7);
    EXPECT_EQ(table->Find("no comma here", fee), -1);
    EXPECT_EQ(fee, -1);
}

TEST(ReadingTheFeeFile, TheFeeIsTheNumberAfterTheFirstComma)
{
    const auto table = ParseMovieFeeText("two,12,34\r\nspaced, 8x\r\nbare,\r\nhuge,99999999999\nlast,22");
    ASSERT_EQ(table->entries.size(), 5u);
    EXPECT_EQ(table->entries[0].fee, 12);
    EXPECT_STREQ(table->entries[0].name, "two");
    EXPECT_EQ(table->entries[1].fee, 8);
    EXPECT_EQ(table->entries[2].fee, 0);
    EXPECT_EQ(table->entries[3].fee, 2147483647);
    EXPECT_STREQ(table->entries[4].name, "last");     // no line end after the last line
    EXPECT_EQ(table->entries[4].fee, 22);
}

TEST(ReadingTheFeeFile, TheRefreshLineSetsThePeriodAndHidesWhatComesBefore)
{
    const auto with = ParseMovieFeeText("before,9\r\nrefresh time,1,min\r\nfilm,3\r\n");
    EXPECT_EQ(with->refresh_minutes, 1);
    ASSERT_EQ(with->entries.size(), 1u);
    EXPECT_STREQ(with->entries[0].name, "film");
    EXPECT_EQ(ParseMovieFeeText("refresh time,5\r\nfilm,3\r\n")->refresh_minutes, 60);
    EXPECT_EQ(ParseMovieFeeText("film,3\r\n")->refresh_minutes, 10);
}

TEST(ReadingTheFeeFile, ANameTwiceUsesItsFirstFeeAndLongNamesAreCut)
{
    const std::string long_name(400, 'n');
    const auto table = ParseMovieFeeText("m,4\r\nm,40\r\n" + long_name + ",1\r\n");
    int32_t fee = 0;
    EXPECT_EQ(table->Find("m", fee), 0);
    EXPECT_EQ(fee, 4);
    EXPECT_EQ(std::string(table->entries[2].name), long_name.substr(0, 255));
}

struct BillingFixture : ::testing::Test {
    TempWorkDir dir;
    void SetUp() override
    {
        dir.MakeDir("media");
        dir.MakeDir("media/tml");
        dir.MakeDir("users");
        dir.WriteFile("user_profile.csv",
                      "rich,pw,1/1/2999,pre,100\r\n"
                      "poor,pw,1/1/2999,pre,99\r\n"
                      "gratis,pw,1/1/2999,free,0\r\n"
                      "later,pw,1/1/2999,post,5\r\n"
                      "short,pw,1/1/2999\r\n");
        ASSERT_EQ(LoadUsers(), 1);
        dir.WriteFile("media/tml/movie_fee.csv", "refresh time,1,min\r\nfilm,100\r\ncheap,30\r\nten,10\r\nnought,0\r\n");
        ASSERT_EQ(LoadMovieFees(), 1);
        OpenUserLogs();
    }
    void TearDown() override
    {
        CloseUserLogs();
        FreeMovieFees();
        FreeUsers();
    }
    std::string Users() const { return dir.ReadFile("user_profile.csv"); }
    std::string PointLog() const { return dir.ReadFile("users/user_point_log.csv"); }
    int32_t Balance(const char* user)
    {
        int32_t pay_model = 0;
        int32_t points = -1;
        FindBillingUser(user, pay_model, points);
        return points;
    }
};

using CheckingPoints = BillingFixture;

TEST_F(CheckingPoints, EachKindOfUserGetsItsAnswer)
{
    int32_t points = 0;
    int32_t fee = 0;
    EXPECT_EQ(CheckUserPoint("rich", "film", points, fee), kPointMayWatch);
    EXPECT_EQ(points, 100);
    EXPECT_EQ(fee, 100);
    EXPECT_EQ(CheckUserPoint("poor", "film", points, fee), kPointTooFew);
    EXPECT_EQ(points, 99);
    EXPECT_EQ(CheckUserPoint("gratis", "film", points, fee), kPointFreeUser);
    EXPECT_EQ(points, 0);
    EXPECT_EQ(CheckUserPoint("later", "film", points, fee), kPointUnknownUser);
    EXPECT_EQ(CheckUserPoint("short", "film", points, fee), kPointUnknownUser);
    EXPECT_EQ(CheckUserPoint("nobody", "film", points, fee), kPointUnknownUser);
    EXPECT_EQ(CheckUserPoint("rich", "no such film", points, fee), kPointUnknownMovie);
    EXPECT_EQ(fee, -1);
}

using ChargingPoints = BillingFixture;

TEST_F(ChargingPoints, APrepaidChargeIsStoredAndLoggedByteForByte)
{
    std::tm when{};
    when.tm_year = 2013 - 1900;
    when.tm_mon  = 2;
    when.tm_mday = 5;
    when.tm_hour = 10;
    const std::string expected_tail =
        " -->ID : [rich] UserName = [rich] Movie Name: [cheap] Movie Point : [30] Before Tran. Point: [100] After Tran. Point: [70]\n";
    EXPECT_EQ(PointLogLine(when, "rich", "rich", "cheap", 30, 100, 70), "03/05 10:00:00 2013" + expected_tail);

    StderrCapture log;
    EXPECT_EQ(ChargeUserPoint("rich", "rich", "cheap"), 1);
    EXPECT_NE(Users().find("rich,pw,1/1/2999,pre,70\r\npoor,"), std::string::npos);
    const std::string line = PointLog();
    ASSERT_EQ(line.size(), 19 + expected_tail.size());
    EXPECT_EQ(line.substr(19), expected_tail);
    EXPECT_NE(log.Text().find(" Movie Point : [30] Before Tran. Point: [100] After Tran. Point: [70]\n"),
              std::string::npos);

    int32_t points = 0;
    int32_t fee = 0;
    EXPECT_EQ(CheckUserPoint("rich", "film", points, fee), kPointTooFew);     // seen without a reload
    EXPECT_EQ(points, 70);
    ASSERT_EQ(DeleteUser("poor"), 1);                                         // a reload reads the stored 70
    EXPECT_EQ(Balance("rich"), 70);
}

TEST_F(ChargingPoints, APostpaidChargeAddsTheFee)
{
    EXPECT_EQ(ChargeUserPoint("later", "later", "cheap"), 1);
    EXPECT_NE(Users().find("later,pw,1/1/2999,post,35\r\n"), std::string::npos);
    EXPECT_EQ(Balance("later"), 35);
    EXPECT_NE(PointLog().find("Before Tran. Point: [5] After Tran. Point: [35]\n"), std::string::npos);
}

TEST_F(ChargingPoints, RefusedChargesChangeAndLogNothing)
{
    const std::string before = Users();
    StderrCapture log;
    EXPECT_EQ(ChargeUserPoint("gratis", "gratis", "film"), 0);
    EXPECT_EQ(ChargeUserPoint("poor", "poor", "film"), -3);
    EXPECT_EQ(ChargeUserPoint("short", "short", "film"), -2);
    EXPECT_EQ(ChargeUserPoint("nobody", "nobody", "film"), -1);
    EXPECT_EQ(ChargeUserPoint("rich", "rich", "no such film"), -2);
    EXPECT_EQ(ChargeUserPoint("rich", "rich", "nought"), 1);                 // nothing owed
    EXPECT_EQ(Users(), before);
    EXPECT_EQ(PointLog(), "");
    EXPECT_EQ(Balance("poor"), 99);
    EXPECT_EQ(Balance("rich"), 100);
    EXPECT_EQ(log.Text().find("gratis"), std::string::npos);
    EXPECT_NE(log.Text().find(" Movie Point : =<0 Before Tran. Point: [100] After Tran. Point: [100]\n"),
              std::string::npos);
}

TEST_F(ChargingPoints, TenChargesAtOnceLoseNoneAndAnEleventhIsRefused)
{
    ASSERT_EQ(AddUser("ten", "pw", "1/1/2999", "pre", "100"), 1);
    std::vector<std::thread> charges;
    std::vector<int> results(10, 0);
    for (int i = 0; i < 10; ++i)
        charges.emplace_back([&results, i] { results[static_cast<std::size_t>(i)] = ChargeUserPoint("ten", "ten", "ten"); });
    for (std::thread& charge : charges) charge.join();
    for (const int result : results) EXPECT_EQ(result, 1);
    EXPECT_NE(Users().find("ten,pw,1/1/2999,pre,0\r\n"), std::string::npos);
    EXPECT_EQ(Balance("ten"), 0);
    const std::string log = PointLog();
    std::size_t lines = 0;
    for (const char c : log) lines += c == '\n' ? 1 : 0;
    EXPECT_EQ(lines, 10u);
    EXPECT_NE(log.find("Before Tran. Point: [10] After Tran. Point: [0]\n"), std::string::npos);
    EXPECT_EQ(ChargeUserPoint("ten", "ten", "ten"), -3);
}

using LoadingTheFeeFile = BillingFixture;

TEST_F(LoadingTheFeeFile, AFailedLoadKeepsTheTableAndALoadAfterTheFreeWorks)
{
    ASSERT_EQ(std::remove(dir.PathOf("media/tml/movie_fee.csv").c_str()), 0);
    EXPECT_EQ(LoadMovieFees(), 0);
    int32_t fee = 0;
    EXPECT_EQ(FindMovieFee("cheap", fee), 1);
    dir.WriteFile("media/tml/movie_fee.csv", "");
    EXPECT_EQ(LoadMovieFees(), 0);
    FreeMovieFees();
    EXPECT_EQ(FindMovieFee("cheap", fee), -1);
    FreeMovieFees();                                                          // twice is harmless
    dir.WriteFile("media/tml/movie_fee.csv", "other,2");
    EXPECT_EQ(LoadMovieFees(), 1);
    EXPECT_EQ(FindMovieFee("other", fee), 0);
    EXPECT_EQ(fee, 2);
}

TEST_F(LoadingTheFeeFile, TheRefreshThreadReloadsTheFileEachPeriod)
{
    // A period of 0 minutes reloads at every 3-second beat of the refresh thread.
    FreeMovieFees();
    dir.WriteFile("media/tml/movie_fee.csv", "refresh time,0,min\r\nfilm,1\r\n");
    StderrCapture log;
    ASSERT_EQ(LoadMovieFees(), 1);
    dir.WriteFile("media/tml/movie_fee.csv", "refresh time,0,min\r\nfilm,2\r\n");
    int32_t fee = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (FindMovieFee("film", fee) == 0 && fee == 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(fee, 2);
    EXPECT_NE(log.Text().find("Movie_Fee_Refresh_Process wake_up ...\n"), std::string::npos);
    EXPECT_NE(log.Text().find("Refresh Movie Fee Table...\n"), std::string::npos);
}

}  // namespace
