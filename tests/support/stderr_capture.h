#pragma once
// Redirects standard error (the debugger output of the loggers) into a file while alive.

#include <string>

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string Text() const;                   // everything written so far

private:
    int         saved_fd_ = -1;
    std::string path_;
};
