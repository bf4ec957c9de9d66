#include "core/file_replace.h"

#include "core/log.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

static bool WriteAll(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool WriteFileDurably(const char* path, std::string_view content)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, content.data(), content.size()) && fsync(fd) == 0;
    return close(fd) == 0 && written;
}

// A copy for file systems without hard links.
static bool CopyFile(const char* from, const char* to)
{
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    std::string content;
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            close(in);
            return false;
        }
        if (got == 0) break;
        content.append(chunk, static_cast<std::size_t>(got));
    }
    close(in);
    return WriteFileDurably(to, content);
}

static void SyncFolderOf(const char* path)
{
    std::string folder(path);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash == 0 ? 1 : slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

int ReplaceFileSafely(const char* path, const char* temp_path, const char* backup_path, std::string_view content)
{
    if (!WriteFileDurably(temp_path, content)) {
        unlink(temp_path);
        return 0;
    }
    if (unlink(backup_path) != 0) LogSystemMessage("unlink backup file %s error\n", backup_path);
    if (access(path, F_OK) == 0 && link(path, backup_path) != 0 && !CopyFile(path, backup_path))
        LogSystemMessage("rename %s to %s error\n", path, backup_path);
    if (rename(temp_path, path) != 0) {
        LogSystemMessage("rename %s to %s error\n", temp_path, path);
        return 0;
    }
    SyncFolderOf(path);
    return 1;
}
