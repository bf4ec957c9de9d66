#include "core/file_replace.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

// A file the rewrite creates takes the process's creation mask (the service runs with 027: its
// files name passwords).
TEST(FileReplace, ANewFileHonoursTheCreationMask)
{
    TempWorkDir dir(false);
    const std::string path = dir.PathOf("users.csv");
    const mode_t previous = umask(027);
    const int written = ReplaceFileSafely(path.c_str(), nullptr, dir.PathOf("users.bak").c_str(), "root");
    umask(previous);
    ASSERT_EQ(written, 1);
    struct stat info{};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}
