#include "media/served_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

TEST(ServedFile, OnlyPlainFilesOfTheFolderOpenAndRefusalsSayWhy)
{
    TempWorkDir dir(false);
    TempWorkDir outside(false);
    dir.WriteFile("media/film.ts", std::string(1234, 'x'));
    dir.WriteFile("quorvane_config.txt", "secret");
    outside.WriteFile("film.ts", "elsewhere");
    ASSERT_EQ(symlink(outside.PathOf("film.ts").c_str(), dir.PathOf("media/link.ts").c_str()), 0);
    // An installed server's admin folder is a link to the package's pages.
    ASSERT_EQ(symlink(outside.Path().c_str(), dir.PathOf("admin").c_str()), 0);

    const auto outcome = [&](const std::string& path) {
        const ServedFile file = OpenServedFile(dir.Path(), path);
        EXPECT_EQ(file.fd >= 0, file.outcome == ServedFileOutcome::kOpened) << path;
        if (file.fd >= 0) close(file.fd);
        return file.outcome;
    };
    EXPECT_EQ(outcome("/media/../media/film.ts"), ServedFileOutcome::kNotFound);
    EXPECT_EQ(outcome("/media"), ServedFileOutcome::kNotFound);
    EXPECT_EQ(outcome("/missing.ts"), ServedFileOutcome::kNotFound);
    EXPECT_EQ(outcome("/quorvane_config.txt"), ServedFileOutcome::kForbidden);
    EXPECT_EQ(outcome("/media/link.ts"), ServedFileOutcome::kForbidden);
    EXPECT_EQ(outcome("/admin/film.ts"), ServedFileOutcome::kOpened);

    const ServedFile film = OpenServedFile(dir.Path(), "media/film.ts");
    ASSERT_EQ(film.outcome, ServedFileOutcome::kOpened);
    EXPECT_EQ(film.size, 1234);
    EXPECT_GT(film.mtime, 0);
    close(film.fd);
}
