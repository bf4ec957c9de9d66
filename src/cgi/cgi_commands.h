#pragma once
// The admin program's work for one query: the command table, tried in order, and the
// commands it answers itself (settings, folder listings) or through one REST request.

#include <string>

// Runs the command the query selects with the server at server_address (dotted IPv4;
// "127.0.0.1" when empty) and the configuration file of the working directory. Appends the
// answer to out; returns the exit code (1 after a command, 0 without a query).
int RunAdminProgram(const char* query, const char* server_address, std::string& out);
