#include "support/stderr_capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

StderrCapture::StderrCapture()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvane-stderr-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) std::abort();
    path_ = pattern;
    std::fflush(stderr);
    saved_fd_ = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    dup2(saved_fd_, STDERR_FILENO);
    close(saved_fd_);
    std::remove(path_.c_str());
}

std::string StderrCapture::Text() const
{
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
