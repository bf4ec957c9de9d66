#pragma once
// The server REST API under "/quorvane/": shutdown, channel refresh and editing, the channel
// audience log, users and points, and the source check.

class PlayerConnection;

// Serves one request; text follows "/quorvane/" and its first line ends at the parameters.
void ServerRestHandler(PlayerConnection& conn, char* text);

// What "refresh_channel" runs: closes the channel reader, reloads the channel table and
// starts the reader again. Installed at start-up; null answers the command with nothing done.
using ChannelRefresh = void (*)();
extern ChannelRefresh g_channel_refresh;
