// The programme guide: a changed schedule replaces what it overlaps, the operator's files win
// over the streams' tables, now and next, and what the guide keeps is bounded.

#include "channels/guide.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kNow = 1'800'000'000;

GuideProgramme At(int64_t start, int64_t minutes, const std::string& title)
{
    return GuideProgramme{start, start + minutes * 60, title, ""};
}

std::string Titles(const std::vector<GuideProgramme>& programmes)
{
    std::string titles;
    for (const GuideProgramme& programme : programmes) titles += programme.title + ";";
    return titles;
}

TEST(ProgrammeGuide, AChangedScheduleReplacesWhatItOverlapsAndTheOperatorsFilesWin)
{
    ProgrammeGuide guide;
    ASSERT_TRUE(guide.AddAnnounced(1, At(kNow - 1800, 60, "News"), kNow));
    ASSERT_TRUE(guide.AddAnnounced(1, At(kNow + 1800, 30, "Film"), kNow));
    ASSERT_TRUE(guide.AddAnnounced(1, At(kNow + 3600, 30, "Late"), kNow));
    // A late change: the news runs on until the film's half, the film moves.
    ASSERT_TRUE(guide.AddAnnounced(1, At(kNow - 1800, 75, "News extended"), kNow));
    EXPECT_EQ(Titles(guide.Programmes(1, kNow - 7200, kNow + 7200)), "News extended;Late;");
    EXPECT_EQ(Titles(guide.Programmes(1, kNow + 3700, kNow + 3800)), "Late;");

    GuideProgramme current, next;
    EXPECT_EQ(guide.NowAndNext(1, kNow, current, next), 3);
    EXPECT_EQ(current.title, "News extended");
    EXPECT_EQ(next.title, "Late");
    EXPECT_EQ(guide.NowAndNext(2, kNow, current, next), 0);

    // The operator's file names channel 1: its programmes are the guide now, until the files
    // no longer name it.
    guide.SetFromFiles({{1, {At(kNow - 600, 20, "From the file")}}}, kNow);
    EXPECT_EQ(Titles(guide.Programmes(1, kNow - 7200, kNow + 7200)), "From the file;");
    guide.SetFromFiles({}, kNow);
    EXPECT_EQ(Titles(guide.Programmes(1, kNow - 7200, kNow + 7200)), "News extended;Late;");
}

TEST(ProgrammeGuide, KeepsEightDaysAtMostAndABoundedNumberPerChannel)
{
    ProgrammeGuide guide;
    EXPECT_FALSE(guide.AddAnnounced(1, At(kNow - 9 * 86400, 60, "Old"), kNow));
    EXPECT_FALSE(guide.AddAnnounced(1, At(kNow + 9 * 86400, 60, "Far"), kNow));
    EXPECT_FALSE(guide.AddAnnounced(1, GuideProgramme{kNow, kNow, "Empty", ""}, kNow));
    for (std::size_t i = 0; i < kGuideMaxPerChannel + 10; ++i)
        guide.AddAnnounced(1, At(kNow + static_cast<int64_t>(i) * 60, 1, std::string(3000, 'x')), kNow);
    EXPECT_EQ(guide.Size(), kGuideMaxPerChannel);
    const std::vector<GuideProgramme> kept = guide.Programmes(1, kNow, kNow + 86400);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().title.size(), kGuideMaxTextBytes);
}

}  // namespace
