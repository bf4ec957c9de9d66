#pragma once
// The checks every service makes before it serves a file of the working directory by the
// name a client sent.

#include <cstdint>
#include <ctime>
#include <string>

// Whether a request path holds a ".." segment (it would leave the working directory).
bool HasDotDotSegment(const std::string& path);
// True when the open file is one of the protected files (however its path is spelt) or lies
// outside the working directory `folder` (a symbolic link out of it, say). Files reached through
// `folder`/admin count as inside when that is a link out of it: an installed server's pages are
// the package's, kept where the server's account cannot write.
bool IsForbiddenFile(int fd, const std::string& full_name, const std::string& folder);

// The name of a file of `folder` by the path a client sent ("/" put between when the path
// does not start with one).
std::string ServedFileName(const std::string& folder, const std::string& path);

enum class ServedFileOutcome { kOpened, kNotFound, kForbidden };

// What OpenServedFile found. The caller owns fd (open read-only when kOpened, -1 otherwise).
struct ServedFile {
    ServedFileOutcome outcome = ServedFileOutcome::kNotFound;
    int               fd      = -1;
    int64_t           size    = 0;
    time_t            mtime   = 0;
};

// Opens the plain file `path` of `folder` for serving. kNotFound when the path holds a ".."
// segment, cannot be opened or is not a plain file; kForbidden when it is a protected file or
// lies outside the folder (not reached through its admin link).
ServedFile OpenServedFile(const std::string& folder, const std::string& path);
