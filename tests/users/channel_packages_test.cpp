#include "users/channel_packages.h"

#include <gtest/gtest.h>

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
                                      "\r\nann, basic ,\r\nbob\r\n");
    ASSERT_EQ(table.packages.size(), 3u);
    EXPECT_EQ(PackageChannels(table.packages[0]), "1,5-7");         // the repeated name keeps its first line
    EXPECT_EQ(PackageChannels(table.packages[1]), "");
    EXPECT_EQ(PackageChannels(table.packages[2]), "3");              // a last line without its line break
    for (const int channel : {1, 5, 6, 7}) EXPECT_TRUE(table.MayWatch("ann", channel)) << channel;
    for (const int channel : {2, 3, 4, 8, 9}) EXPECT_FALSE(table.MayWatch("ann", channel)) << channel;
    EXPECT_TRUE(table.MayWatch("bob", 9)) << "a name without packages is no restriction";
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
