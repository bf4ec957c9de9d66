#pragma once
// The checks every service makes before it serves a file of the working directory by the
// name a client sent.

#include <string>

// Whether a request path holds a ".." segment (it would leave the working directory).
bool HasDotDotSegment(const std::string& path);
// True when the open file is one of the protected files (however its path is spelt) or lies
// outside the working directory (a symbolic link out of it, say).
bool IsForbiddenFile(int fd, const std::string& full_name);
