#pragma once
// A test suite whose media files ffmpeg makes once for all its tests, in a folder of its own.
// A suite derives from MediaSuite<itself> and defines `static void MakeFiles()`, which writes
// them with Path(name); its tests are skipped where ffmpeg or ffprobe is missing.

#include "support/temp_dir.h"
#include "support/test_server.h"

#include <gtest/gtest.h>
#include <string>

template <class Suite>
class MediaSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) return;
        dir_ = new TempWorkDir(false);
        Suite::MakeFiles();
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        if (dir_ == nullptr) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
    }
    static std::string Path(const std::string& name) { return dir_->PathOf(name); }
    static inline TempWorkDir* dir_ = nullptr;
};
