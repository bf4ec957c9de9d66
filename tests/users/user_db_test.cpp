#include "users/user_db.h"

#include "support/stderr_capture.h"
#include "support/temp_dir.h"

#include <atomic>
#include <ctime>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string DateText(std::time_t when)
{
    std::tm parts{};
    localtime_r(&when, &parts);
    return std::to_string(parts.tm_mon + 1) + "/" + std::to_string(parts.tm_mday) + "/" +
           std::to_string(parts.tm_year + 1900);
}

int ThisYear()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return parts.tm_year + 1900;
}

struct UserFileFixture : ::testing::Test {
    TempWorkDir dir;
    void TearDown() override { FreeUsers(); }
    void Load(const std::string& text)
    {
        dir.WriteFile("user_profile.csv", text);
        ASSERT_EQ(LoadUsers(), 1);
    }
    std::string File() const { return dir.ReadFile("user_profile.csv"); }
};

using CheckingUsers = UserFileFixture;

TEST_F(CheckingUsers, ExpiryTodayIsAcceptedAndYesterdayHasExpired)
{
    const std::time_t now = std::time(nullptr);
    Load("today,pw," + DateText(now) + ",pre,10\r\nyesterday,pw," + DateText(now - 86400) + ",pre,10\r\n");
    EXPECT_EQ(CheckUser("today", "pw"), 1);
    EXPECT_EQ(CheckUser("yesterday", "pw"), 2);
}

TEST_F(CheckingUsers, TheYearIsComparedFirst)
{
    const int year = ThisYear();
    Load("next,pw,1/1/" + std::to_string(year + 1) + ",pre,1\r\nlast,pw,12/31/" + std::to_string(year - 1) +
         ",pre,1\r\n");
    EXPECT_EQ(CheckUser("next", "pw"), 1);
    EXPECT_EQ(CheckUser("last", "pw"), 2);
}

TEST_F(CheckingUsers, NamesAndPasswordsAreCaseSensitive)
{
    Load("Bob,Secret,1/1/2999,pre,1\r\n");
    EXPECT_EQ(CheckUser("Bob", "Secret"), 1);
    EXPECT_EQ(CheckUser("bob", "Secret"), 0);
    EXPECT_EQ(CheckUser("Bob", "secret"), 0);
}

TEST_F(CheckingUsers, EmptyNamesAndPasswordsAreRejectedWithTheirMessages)
{
    Load("bob,pw,1/1/2999\r\n");
    StderrCapture log;
    EXPECT_EQ(CheckUser("", ""), 0);
    EXPECT_EQ(CheckUser("", "pw"), 0);
    EXPECT_EQ(CheckUser("bob", ""), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find("User Name and Password are NULL\n"), std::string::npos);
    EXPECT_NE(text.find("User Name is NULL\n"), std::string::npos);
    EXPECT_NE(text.find("Passowrd is NULL\n"), std::string::npos);
}

TEST_F(CheckingUsers, LogsTheSearchAsItGoes)
{
    Load("amy,a,1/1/2999\r\nbob,b,1/1/2999\r\n");
    StderrCapture log;
    EXPECT_EQ(CheckUser("bob", "x"), 0);
    EXPECT_EQ(CheckUser("zed", "z"), 0);
    const std::string text = log.Text();
    EXPECT_NE(text.find("User [bob], Password[x] Password Error\n"), std::string::npos);
    EXPECT_NE(text.find("Username= [zed] Password= [z] Checked [2] user in Database\n"), std::string::npos);
    EXPECT_NE(text.find("User [zed], Password[z] User Not Found\n"), std::string::npos);
}

TEST_F(CheckingUsers, WithoutAFileEveryCheckFails)
{
    EXPECT_EQ(LoadUsers(), 0);
    EXPECT_EQ(CheckUser("bob", "pw"), 0);
    dir.WriteFile("user_profile.csv", "");
    EXPECT_EQ(LoadUsers(), 0);
}

using LoadingUsers = UserFileFixture;

TEST_F(LoadingUsers, ReadsFullAndShortLinesAndPayModels)
{
    Load("a,1,12/31/2013,pre,100\r\nb,2,1/2/2014,post,5\r\nc,3,3/4/2015,free,0\r\nd,4,5/6/2016,gold,7\r\n"
         "e,5,7/8/2017\r\nf,6,9/10/2018,post");
    const auto table = CurrentUsers();
    ASSERT_EQ(table->records.size(), 6u);
    const UserRecord& a = table->records[0];
    EXPECT_STREQ(a.user_name, "a");
    EXPECT_STREQ(a.password, "1");
    EXPECT_EQ(a.expiry_month, 12);
    EXPECT_EQ(a.expiry_day, 31);
    EXPECT_EQ(a.expiry_year, 2013);
    EXPECT_EQ(a.pay_model, kPayPre);
    EXPECT_EQ(a.points, 100);
    EXPECT_EQ(table->records[1].pay_model, kPayPost);
    EXPECT_EQ(table->records[2].pay_model, kPayFree);
    EXPECT_EQ(table->records[3].pay_model, kPayPre);
    EXPECT_EQ(table->records[4].pay_model, kPayNone);
    EXPECT_EQ(table->records[4].points, 0);
    EXPECT_EQ(table->records[4].expiry_year, 2017);
    EXPECT_EQ(table->records[5].pay_model, kPayPost);    // the last line needs no line break
}

TEST_F(LoadingUsers, SkipsEverythingUpToTheRefreshTimeLine)
{
    Load("ghost,pw,1/1/2999\r\nrefresh time,5,min\r\nbob,pw,1/1/2999\r\n");
    EXPECT_EQ(CurrentUsers()->records.size(), 1u);
    EXPECT_EQ(CheckUser("ghost", "pw"), 0);
    EXPECT_EQ(CheckUser("bob", "pw"), 1);
}

TEST_F(LoadingUsers, MalformedLinesNeverDisturbTheNextLine)
{
    Load("nodate,pw\r\nnoslash,pw,2030,pre,1\r\noneslash,pw,1/2030,pre,1\r\n,,\r\nplain line\r\n"
         "good,pw,1/1/2999,pre,3\r\n");
    const auto table = CurrentUsers();
    EXPECT_EQ(table->records.size(), 5u);                // lines with a comma
    EXPECT_EQ(CheckUser("nodate", "pw"), 0);
    EXPECT_EQ(CheckUser("noslash", "pw"), 0);
    EXPECT_EQ(CheckUser("oneslash", "pw"), 0);
    EXPECT_EQ(CheckUser("good", "pw"), 1);
    EXPECT_EQ(table->records[4].points, 3);
}

TEST_F(LoadingUsers, LongFieldsAreCut)
{
    const std::string name(300, 'n');
    Load(name + ",pw,1/1/2999\r\n");
    EXPECT_EQ(std::string(CurrentUsers()->records[0].user_name), name.substr(0, 127));
}

using ChangingUsers = UserFileFixture;

TEST_F(ChangingUsers, AddingADuplicateAppendsAndTheFirstLineStillWins)
{
    Load("bob,first,1/1/2999,pre,1\r\n");
    EXPECT_EQ(AddUser("bob", "second", "1/1/2999", "pre", "2"), 1);
    EXPECT_EQ(File(), "bob,first,1/1/2999,pre,1\r\nbob,second,1/1/2999,pre,2\r\n");
    EXPECT_EQ(CheckUser("bob", "first"), 1);
    EXPECT_EQ(CheckUser("bob", "second"), 0);
}

TEST_F(ChangingUsers, AddingAfterALastLineWithoutABreakKeepsBothLines)
{
    Load("amy,pw,1/1/2999");
    EXPECT_EQ(AddUser("bob", "pw", "1/1/2999", "pre", "0"), 1);
    EXPECT_EQ(File(), "amy,pw,1/1/2999\r\nbob,pw,1/1/2999,pre,0\r\n");
    EXPECT_EQ(CheckUser("amy", "pw"), 1);
    EXPECT_EQ(CheckUser("bob", "pw"), 1);
}

TEST_F(ChangingUsers, AddingCreatesAMissingFile)
{
    EXPECT_EQ(AddUser("bob", "pw", "1/1/2999", "free", "0"), 1);
    EXPECT_EQ(CheckUser("bob", "pw"), 1);
}

TEST_F(ChangingUsers, UpdatingBobLeavesJimbobUntouched)
{
    Load("refresh time,5,min\r\njimbob,j,1/1/2999,pre,1\r\nbob,b,1/1/2999,pre,1\r\ntail,t,1/1/2999\r\n");
    EXPECT_EQ(UpdateUser("bob", "new", "2/2/2999", "post", "9"), 1);
    EXPECT_EQ(File(), "refresh time,5,min\r\njimbob,j,1/1/2999,pre,1\r\nbob,new,2/2/2999,post,9\r\ntail,t,1/1/2999\r\n");
    EXPECT_EQ(CheckUser("bob", "new"), 1);
    EXPECT_EQ(CheckUser("jimbob", "j"), 1);
}

TEST_F(ChangingUsers, UpdatingOrDeletingAnUnknownUserChangesNothing)
{
    Load("bob,b,1/1/2999\r\n");
    StderrCapture log;
    EXPECT_EQ(UpdateUser("ann", "x", "1/1/2999", "pre", "0"), 0);
    EXPECT_EQ(DeleteUser("ann"), 0);
    EXPECT_EQ(SetUserPoints("ann", 5), 0);
    EXPECT_EQ(File(), "bob,b,1/1/2999\r\n");
    EXPECT_NE(log.Text().find(" Update User [ann] Not Found\n"), std::string::npos);
    EXPECT_NE(log.Text().find(" Del User [ann] Not Found\n"), std::string::npos);
}

TEST_F(ChangingUsers, TheBackupHoldsTheFileAsItWasBeforeADelete)
{
    const std::string before = "amy,a,1/1/2999,pre,1\r\nbob,b,1/1/2999,pre,2\r\n";
    Load(before);
    EXPECT_EQ(DeleteUser("amy"), 1);
    EXPECT_EQ(File(), "bob,b,1/1/2999,pre,2\r\n");
    EXPECT_EQ(dir.ReadFile("user_profile_backup.csv"), before);
    EXPECT_FALSE(dir.Exists("user_profile_temp.csv"));
    EXPECT_EQ(CheckUser("amy", "a"), 0);
}

TEST_F(ChangingUsers, SettingPointsRewritesOnlyTheLastField)
{
    Load("bob,b,1/1/2999,pre,100\r\nbobby,c,1/1/2999,pre,5\r\n");
    EXPECT_EQ(SetUserPoints("bob", 70), 1);
    EXPECT_EQ(File(), "bob,b,1/1/2999,pre,70\r\nbobby,c,1/1/2999,pre,5\r\n");
    EXPECT_EQ(SetUserPoints("bob", -3), 1);
    EXPECT_EQ(File(), "bob,b,1/1/2999,pre,-3\r\nbobby,c,1/1/2999,pre,5\r\n");
}

TEST_F(ChangingUsers, AShortLineHasNoPointsToSet)
{
    Load("bob,b,1/1/2999\r\n");
    EXPECT_EQ(SetUserPoints("bob", 70), 0);
    EXPECT_EQ(File(), "bob,b,1/1/2999\r\n");
}

TEST_F(ChangingUsers, ChangesActOnTheLineTheCheckUses)
{
    // The first "bob" line has no date: it loads as an empty record, and the check finds the second.
    const std::string dead = "bob,old\r\n";
    Load(dead + "bob,b,1/1/2999,pre,100\r\n");
    EXPECT_EQ(SetUserPoints("bob", 70), 1);
    EXPECT_EQ(File(), dead + "bob,b,1/1/2999,pre,70\r\n");
    EXPECT_EQ(UpdateUser("bob", "new", "1/1/2999", "post", "9"), 1);
    EXPECT_EQ(File(), dead + "bob,new,1/1/2999,post,9\r\n");
    EXPECT_EQ(CheckUser("bob", "new"), 1);
    EXPECT_EQ(DeleteUser("bob"), 1);
    EXPECT_EQ(File(), dead);
    EXPECT_EQ(CheckUser("bob", "new"), 0);
    EXPECT_EQ(DeleteUser("bob"), 0);                     // only the dead line is left
}

TEST_F(ChangingUsers, PointsGoIntoTheFifthFieldAndLaterFieldsStay)
{
    Load("bob,b,1/1/2999,pre,100,note\r\n");
    EXPECT_EQ(SetUserPoints("bob", 70), 1);
    EXPECT_EQ(File(), "bob,b,1/1/2999,pre,70,note\r\n");
    ASSERT_EQ(LoadUsers(), 1);
    EXPECT_EQ(CurrentUsers()->records[0].points, 70);
}

TEST_F(ChangingUsers, TextsWithACommaOrALineBreakAreRefused)
{
    const std::string before = "bob,b,1/1/2999,pre,1\r\n";
    Load(before);
    StderrCapture log;
    EXPECT_EQ(AddUser("eve", "pw\r\nroot", "1/1/2999", "free", "0"), 0);
    EXPECT_EQ(AddUser("eve,x", "pw", "1/1/2999", "free", "0"), 0);
    EXPECT_EQ(AddUser("eve", "pw", "1/1/2999", "free", "0\nroot,r,1/1/2999"), 0);
    EXPECT_EQ(UpdateUser("bob", "b", "1/1/2999\r", "pre", "1"), 0);
    EXPECT_EQ(UpdateUser("bob", "b", "1/1/2999", "pre", "1,5"), 0);
    EXPECT_EQ(SetUserPoints("bob\n", 5), 0);
    EXPECT_EQ(File(), before);
    EXPECT_EQ(CheckUser("bob", "b"), 1);
    EXPECT_NE(log.Text().find(" Add User Refused: the password text is missing or holds a comma or line break\n"),
              std::string::npos);
    EXPECT_NE(log.Text().find(" Update User Refused: the points text is missing or holds a comma or line break\n"),
              std::string::npos);
    EXPECT_NE(log.Text().find(" Set User Points Refused: "), std::string::npos);
}

TEST_F(ChangingUsers, ConcurrentChecksAndChangesLoseNothing)
{
    Load("keeper,k,1/1/2999,pre,0\r\n");
    std::atomic<bool> stop{false};
    std::atomic<int> checks{0};
    std::vector<std::thread> checkers;
    for (int t = 0; t < 3; ++t) {
        checkers.emplace_back([&] {
            while (!stop.load()) {
                EXPECT_EQ(CheckUser("keeper", "k"), 1);
                CheckUser("u1", "p");
                checks.fetch_add(1);
            }
        });
    }
    // Two writers at once: each adds its own users, updates and deletes some of them.
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < 40; ++i) {
                const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                EXPECT_EQ(AddUser(name.c_str(), "p", "1/1/2999", "pre", "0"), 1);
                if (i % 2 == 0) {
                    EXPECT_EQ(UpdateUser(name.c_str(), "q", "1/1/2999", "post", "1"), 1);
                }
                if (i % 4 == 0) {
                    EXPECT_EQ(DeleteUser(name.c_str()), 1);
                }
                if (i % 4 == 1) {
                    EXPECT_EQ(SetUserPoints(name.c_str(), i), 1);
                }
            }
        });
    }
    for (auto& writer : writers) writer.join();
    stop = true;
    for (auto& checker : checkers) checker.join();
    EXPECT_GT(checks.load(), 0);

    std::set<std::string> expected = {"keeper,k,1/1/2999,pre,0"};
    for (int w = 0; w < 2; ++w) {
        for (int i = 0; i < 40; ++i) {
            if (i % 4 == 0) continue;
            const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            if (i % 2 == 0) expected.insert(name + ",q,1/1/2999,post,1");
            else if (i % 4 == 1) expected.insert(name + ",p,1/1/2999,pre," + std::to_string(i));
            else expected.insert(name + ",p,1/1/2999,pre,0");
        }
    }
    std::set<std::string> lines;
    const std::string text = File();
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        lines.insert(text.substr(at, end - at));
        at = end + 2;
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(CurrentUsers()->records.size(), expected.size());
}

}  // namespace
