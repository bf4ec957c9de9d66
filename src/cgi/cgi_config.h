#pragma once
// The admin program's view of "quorvane_config.txt": the texts of the keys it shows and
// uses, and the update of the network settings, which rewrites only the lines of the keys
// the form sent (every other line kept) through a temporary file and one rename. Several
// admin programs may save at once: each save holds the file's lock across processes from
// its read to its rename.

#include <string>
#include <string_view>
#include <vector>

struct CgiConfigValue {
    const char* key;
    std::size_t size;      // bytes with the terminator: longer texts are cut to size - 1
    std::string text;
};

struct CgiConfiguration {
    std::vector<CgiConfigValue> values;    // in reading order
    CgiConfiguration();
    // The text of a key of the list ("" for another key).
    const std::string& Get(std::string_view key) const;
    // Sets a key of the list (cut to its size); others are ignored.
    void Set(std::string_view key, std::string_view text);
};

// Reads the file as the server does (FindKeyValue: the first "key=" anywhere in the text, so
// "path" takes the value of "videopath=" when no line of its own comes first). 1 read, 0 when
// it cannot be opened.
int ReadConfiguration(CgiConfiguration& config, const char* path = "quorvane_config.txt");
// The file's text with each key of changes set: its line rewritten in place, a key the file
// lacks added at the end. Lines of other keys and any other text stay as they were.
std::string UpdatedConfigurationText(std::string_view file_text,
                                     const std::vector<std::pair<std::string, std::string>>& changes);
// Sets the changes in the file (as UpdatedConfigurationText) as one read-modify-write under
// the file's FileRewriteLock, through a temporary file of its own. 1 saved; 0 when the lock
// was not had within kConfigLockWaitMs, or the file could not be read or rewritten.
constexpr int kConfigLockWaitMs = 5000;
int SaveConfigurationChanges(const std::vector<std::pair<std::string, std::string>>& changes,
                             const char* path = "quorvane_config.txt", const char* backup_path = "quorvane_config_backup.txt");
// A port: 1 to 65535 written in decimal digits only.
bool IsPortText(std::string_view text);
// Dotted IPv4: four numbers 0-255 of one to three digits.
bool IsIpv4Text(std::string_view text);
