#include "core/platform/platform.h"

#include <gtest/gtest.h>

namespace {

TEST(AdminProgram, WithoutAQueryItAnswersNull)
{
    ChildResult result;
    ASSERT_TRUE(RunChildProcess(CGI_QUORVANE_BINARY, {}, {}, 4096, 5000, result));
    EXPECT_EQ(result.output, "NULL\n");
    EXPECT_EQ(result.exit_code, 0);
}

TEST(AdminProgram, WithAQueryItEndsWithOneForNow)
{
    ChildResult result;
    ASSERT_TRUE(RunChildProcess(CGI_QUORVANE_BINARY, {}, {"QUERY_STRING=cmd=unknown"}, 4096, 5000, result));
    EXPECT_EQ(result.exit_code, 1);
}

}  // namespace
