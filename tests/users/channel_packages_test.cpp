#include "users/channel_packages.h"

#include "support/temp_dir.h"
#include "users/user_db.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

PackageTable Parsed(const char* packages, const char* users)
{
    PackageTable table;
    ParseChannelPackages(packages, table);
    ParseUserPackages(users, table);
    return table;
}

}  // namespace

TEST(PackageFiles, RangesBlanksAndBadFieldsAreReadAsAnAdminMeansThem)
{
    const PackageTable table = Parsed("\r\n# comment\r\n basic , 1, 5 - 7 ,x,9-8,0,,70000\r\nbasic,2\r\nempty\n  \nlast,3",
                                      "\r\nann, basic ,\r\nbob\r\nbob,basic\r\n ann,basic\r\n#cy,basic\r\n");
    ASSERT_EQ(table.packages.size(), 3u);
    EXPECT_EQ(PackageChannels(table.packages[0]), "1,5-7");         // the repeated name keeps its first line
    EXPECT_EQ(PackageChannels(table.packages[1]), "");
    EXPECT_EQ(PackageChannels(table.packages[2]), "3");              // a last line without its line break
    for (const int channel : {1, 5, 6, 7}) EXPECT_TRUE(table.MayWatch("ann", channel)) << channel;
    for (const int channel : {2, 3, 4, 8, 9}) EXPECT_FALSE(table.MayWatch("ann", channel)) << channel;
    EXPECT_TRUE(table.MayWatch("bob", 9)) << "a name without packages is no restriction, and its first line";
    EXPECT_FALSE(table.MayWatch(" ann", 9)) << "user names are read exactly as the user file has them";
    EXPECT_FALSE(table.MayWatch("#cy", 9));
    EXPECT_TRUE(table.MayWatch("Ann", 9)) << "user names are case-sensitive";
}

TEST(PackageFiles, UnknownPackagesGiveNothingAndRootWatchesEverything)
{
    const PackageTable table = Parsed("sports,4\r\n", "carl,gone\r\ndora,gone,sports\r\nroot,sports\r\n");
    EXPECT_FALSE(table.MayWatch("carl", 1)) << "a removed package must not open every channel";
    EXPECT_TRUE(table.MayWatch("dora", 4));
    EXPECT_FALSE(table.MayWatch("dora", 1));
    EXPECT_TRUE(table.MayWatch("root", 1));
}

struct PackageEdits : ::testing::Test {
    TempWorkDir dir;
    void SetUp() override
    {
        dir.WriteFile("channel_packages.csv", "basic,1\r\n");
        dir.WriteFile("user_packages.csv", "ann,basic\r\n");
        ASSERT_EQ(LoadChannelPackages(), 1);
    }
    void TearDown() override
    {
        dir.WriteFile("channel_packages.csv", "");
        dir.WriteFile("user_packages.csv", "");
        (void)LoadChannelPackages();
    }
};

TEST_F(PackageEdits, AHashInAValueIsNoCommentAndAValueWithoutFieldsIsRefused)
{
    EXPECT_EQ(SetUserPackages("ann", "#basic"), 0);
    EXPECT_EQ(SetUserPackages("ann", " , "), 0);
    EXPECT_EQ(SetChannelPackage("news", "#1"), 0);
    EXPECT_EQ(SetChannelPackage("news", ","), 0);
    EXPECT_EQ(dir.ReadFile("user_packages.csv"), "ann,basic\r\n");
    EXPECT_EQ(dir.ReadFile("channel_packages.csv"), "basic,1\r\n");
    EXPECT_EQ(SetUserPackages(" #odd ", "basic"), 1) << "any name the user file accepts";
    EXPECT_FALSE(CurrentPackages()->MayWatch(" #odd ", 2));
}

TEST_F(PackageEdits, AFileThatCannotBeReadWholeKeepsTheTableAndRefusesEdits)
{
    const std::string large = "ann,basic\r\n" + std::string(1 << 20, '\n');
    dir.WriteFile("user_packages.csv", large);
    EXPECT_EQ(LoadChannelPackages(), 0);
    EXPECT_EQ(SetUserPackages("bob", "basic"), 0);
    EXPECT_EQ(dir.ReadFile("user_packages.csv"), large);
    EXPECT_FALSE(CurrentPackages()->MayWatch("ann", 2));

    dir.WriteFile("user_packages.csv", "");
    ASSERT_EQ(std::remove(dir.PathOf("channel_packages.csv").c_str()), 0);
    dir.MakeDir("channel_packages.csv");                  // opens, but every read fails
    EXPECT_EQ(LoadChannelPackages(), 0);
    EXPECT_FALSE(CurrentPackages()->MayWatch("ann", 2));
    ASSERT_EQ(std::remove(dir.PathOf("channel_packages.csv").c_str()), 0);
}

TEST_F(PackageEdits, DeletingAUserDropsTheirPackages)
{
    dir.WriteFile("user_profile.csv", "ann,pw,12/31/2099,free,0\r\n");
    ASSERT_EQ(LoadUsers(), 1);
    ASSERT_EQ(DeleteUser("ann"), 1);
    EXPECT_EQ(dir.ReadFile("user_packages.csv"), "");
    EXPECT_TRUE(CurrentPackages()->MayWatch("ann", 2));
    FreeUsers();
}
