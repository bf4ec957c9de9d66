#pragma once
// The TV-on-demand archive "tv_program_archive/<rec_folder>/": how its files are named, which
// of them a recorder is writing now, and the listing of one folder by day for the set-top
// menus, with the retention of one week applied while listing.

#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// False for a recording folder that would lead out of "tv_program_archive" (an absolute path,
// a "\" or a ".." step): such a channel is neither recorded nor listed.
bool RecordingFolderIsSafe(const char* rec_folder);
// True for a name the recorder gives its files: "YYYY_MM_DD_HH_MM.ts". Nothing else in a
// folder is listed, counted or deleted.
bool IsArchiveFileName(std::string_view name);
// When the recording of a file so named began, as a Unix time (the name gives the local time);
// -1 for any other name.
std::time_t ArchiveFileStart(std::string_view name);

// The recorder marks the file it writes (by its path) from its opening to its closing; the
// listing never deletes a marked file.
void MarkArchiveRecording(const std::string& path, bool recording);
bool ArchiveFileRecording(const std::string& path);

// What the listing deletes with: true when the file is gone.
using ArchiveRemover = std::function<bool(const std::string& path)>;
// The frames of one channel's recordings by day, for its menu document: names in ascending
// order, the oldest beyond 10080 / duration_minutes recordings (at least one is kept) deleted
// with their log lines and left out. link_name is the channel name as the documents write it.
// "" when the folder cannot be listed or holds no recording.
std::string ArchiveListing(const std::string& folder, const std::string& link_name, int duration_minutes,
                           const ArchiveRemover& remove);
// The same for the names of the folder's files (in any order; the others are left alone).
std::string ArchiveListingOf(const std::string& folder, std::vector<std::string> names, const std::string& link_name,
                             int duration_minutes, const ArchiveRemover& remove);
// The same, deleting with unlink.
std::string ArchiveListing(const std::string& folder, const std::string& link_name, int duration_minutes);

// The channel whose stored stream a working-directory path names: a file in the archive
// folder "tv_program_archive/<rec_folder>/" of a channel (the first channel with that folder),
// or its time-shift file "timeshift/time_shift_ch[N]". Empty and "." steps and a leading "/"
// do not count. 0 for any other path (films, menus, pictures).
int StoredFileChannel(std::string_view path);
// The package check of a stored file: true unless the path is a channel's recording or
// time-shift file that user_name may not watch.
[[nodiscard]] bool UserMayOpenStoredFile(const char* user_name, std::string_view path);
