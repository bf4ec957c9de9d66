#pragma once
// The server REST API under "/quorvane/": shutdown, channel refresh and editing, the channel
// audience log, users and points.

class PlayerConnection;

// Serves one request; text follows "/quorvane/" and its first line ends at the parameters.
void ServerRestHandler(PlayerConnection& conn, char* text);
