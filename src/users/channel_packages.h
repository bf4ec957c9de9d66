#pragma once
// Channel packages: which channels a subscriber may watch. "channel_packages.csv" names each
// package and its channels ("basic,1,2,5-9"); "user_packages.csv" gives a user the packages
// they hold ("alice,basic,sports"). A user without packages (no line, or a line with only the
// name) watches every channel, as does root; a user with packages watches only the channels
// of the packages that exist. Both files are read at start-up and after every change made
// here; lines end in "\r\n" and fields are not quoted. A file above 1 MiB is not read.

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

constexpr std::size_t kPackageNameSize = 64;     // longest name a change accepts, terminator included

struct ChannelPackage {
    std::string                      name;
    std::vector<std::pair<int, int>> ranges;      // [first, last] channel numbers, first <= last
    bool Holds(int channel_number) const;
};

// Both files as loaded. Immutable once published; readers keep the one they took.
struct PackageTable {
    std::vector<ChannelPackage> packages;         // file order; a repeated name keeps its first line
    std::unordered_map<std::string, std::size_t> package_index;   // name -> index in packages
    // The package names of each user that has any, as written (unknown names included).
    std::unordered_map<std::string, std::vector<std::string>> user_packages;
    // Loaded from the files; and, when they could not be read before any table was, only root
    // may watch: who holds packages is not known, so nobody else is let through.
    bool loaded = false;
    bool unreadable = false;
    const ChannelPackage* Find(std::string_view name) const;   // null when there is none
    // True when the user may watch the channel (root and users without packages always).
    bool MayWatch(std::string_view user_name, int channel_number) const;
};

// Parsers of the two files' texts into table (exposed for tests). Blank lines are skipped,
// spaces around package names and channel fields are dropped, and a channel field that is not
// a number or a range "a-b" of numbers from 1 is skipped. Lines of the package file starting
// with "#" are comments; a user line's first field is the user name exactly as the user file
// writes it (spaces and a leading "#" included). A repeated name keeps its first line, also
// when that line holds the name alone.
void ParseChannelPackages(std::string_view text, PackageTable& table);
void ParseUserPackages(std::string_view text, PackageTable& table);

// Reads both files (a missing file is empty) and publishes them. 1, or 0 when a file exists
// but cannot be read whole or is above 1 MiB: a table loaded before stays; without one, only
// root may watch until the files can be read.
int LoadChannelPackages();
// The published table (empty, never null, before the first load).
std::shared_ptr<const PackageTable> CurrentPackages();
// The check every output makes after the user check: true when user_name may watch the channel.
[[nodiscard]] bool UserMayWatchChannel(const char* user_name, int channel_number);

// Changes, each a read-modify-write of one file under one lock, through the safe rewrite, and
// a reload. channels is the text after the name ("1,2,5-9"), packages a list of names
// ("basic,sports"); both are checked and rewritten in the file's form. 1, or 0 when refused
// (bad name or field, a package to remove or give that does not exist) or the file could not
// be read or rewritten. A value that is not blank but holds no field is refused; a "#" in a
// value is an ordinary character.
int SetChannelPackage(const char* name, const char* channels);
int RemoveChannelPackage(const char* name);
// An empty list removes the user's line: the user watches every channel again.
int SetUserPackages(const char* user_name, const char* packages);

// Drops the user's line (the user is gone): 1, or 0 when the file could not be read or rewritten.
int RemoveUserPackages(const char* user_name);
// Channel `deleted` is gone and the channels after it moved down by one: every package loses it
// and its later channels move down with them, in one rewrite of the package file (the channel
// edit holds its file lock around this). 1, or 0 when the file could not be read or rewritten.
int RenumberPackagesAfterChannelDelete(int deleted);

// A package's channels as the file writes them ("1,2,5-9").
std::string PackageChannels(const ChannelPackage& package);
