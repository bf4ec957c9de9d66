#pragma once
// The player REST API under "/player/": list the players, reboot one box or all, read a box's
// settings and change them. Every command needs root's token.

class PlayerConnection;

// Serves one request; text follows "/player/" and its first line ends at the parameters.
void PlayerRestHandler(PlayerConnection& conn, char* text);
