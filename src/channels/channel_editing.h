#pragma once
// Editing "channel_definition.xml" for the REST API: list, add, update, delete. The edits act
// on the file, not on the loaded table; they take effect at the next reload. Every edit is one
// read-modify-write under the channel file lock, written through the safe rewrite.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The extra attributes an edit may set: backup sources (blank-separated), the second RTP path
// of a merged channel, and "1" or "0" for an on-demand pull. Null: none for a new channel,
// unchanged for an update.
struct ChannelExtras {
    const char* backup    = nullptr;
    const char* merge     = nullptr;
    const char* on_demand = nullptr;
};

// Number of "<ch" ... "</ch>" elements in the file; 0 when it cannot be read.
uint16_t CountChannelDefinitions();
// Appends "CH=%d\r\nname=%s\r\nsrc=%s\r\nrec_folder=%s\r\n" per channel to out, then
// "backup=...", "merge=..." and "ondemand=1" lines for a channel that has them, and with
// watchable "watch=1\r\n" or "watch=0\r\n" after each (whether watchable(number) holds); the
// number of bytes appended. Without with_credentials (any caller but root) each source is shown
// through MaskSourceCredentials.
std::size_t ListChannelDefinitions(std::string& out, bool with_credentials,
                                   const std::function<bool(int)>& watchable = nullptr);
// The same listing of a file's text (the fuzz target's entry).
std::size_t ListChannelDefinitionText(std::string_view text, std::string& out, bool with_credentials,
                                      const std::function<bool(int)>& watchable = nullptr);
// Appends a channel (the file gets its "<?xml" first line when it is new). 1 or 0 (a value
// holding '"', '<', '>', CR or LF is refused; the file could not be written).
int AddChannelDefinition(const char* name, const char* src, const char* rec_folder, const ChannelExtras& extras = {});
// Rewrites channel `number` (decimal text, from 1 in file order) from the arguments. 1 or 0.
int UpdateChannelDefinition(const char* number, const char* name, const char* src, const char* rec_folder,
                            const ChannelExtras& extras = {});
// Rewrites the file without channel `number`; a number outside the file deletes nothing and
// still answers 1. 1 or 0.
int DeleteChannelDefinition(const char* number);
