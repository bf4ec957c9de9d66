#pragma once
// The set-top boxes' menus in TML, served from "tml/": the main document "tml/stb_tml.xml" with
// the live channels and a "Recorded Video" entry, and one document "tml/<name>.xml" per channel
// with its archive recordings by day. Written when TV-on-demand recording is on: at start-up,
// after a channel refresh and every "tv_on_demand_record_duration" minutes. URLs carry "@" for
// the host, which the boxes replace by the server's address.

#include "channels/channel_table.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Writes every document (each through a safe rewrite) and applies the archive retention. One
// run at a time; a failed channel document stops the run with the previous main document in place.
void WriteMenuDocuments();
// Runs WriteMenuDocuments every "tv_on_demand_record_duration" minutes until the HTTP stop
// state leaves 0.
int32_t TML_Refresh_Process(void* unused);

// text with &, <, > and " written as entities.
std::string EscapeMarkup(std::string_view text);
// False for a channel name that cannot name its document inside "tml/": empty, with "/" or
// "\", or one of the main document's own names. Such a channel gets no document and no entry
// under "Recorded Video".
bool MenuFileNameAllowed(std::string_view name);
// The main document for the table; with listed, only the channels (numbers from 1) it holds
// for (a user's menu: the numbers and live URLs stay those of the table).
std::string MainMenuDocument(const ChannelTable& table, int http_port, const std::function<bool(int)>& listed = nullptr);
// A channel's document; with a recording folder its archive listing, which deletes the
// recordings past the retention.
std::string ChannelMenuDocument(const ChannelRecord& channel, int http_port, int vod_port, int duration_minutes);
