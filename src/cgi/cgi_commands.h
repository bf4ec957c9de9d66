#pragma once
// The admin program's work for one query: the command table, tried in order, and the
// commands it answers itself (settings, folder listings) or through one REST request.

#include <functional>
#include <string>

// Takes the answer so far and empties it (writes it out).
using AdminOutput = std::function<void(std::string& answer)>;

// Runs the command the query selects with the server at server_address (dotted IPv4;
// "127.0.0.1" when empty) and the configuration file of the working directory. Appends the
// answer to out; returns the exit code (1 after a command, 0 without a query). With drain, a
// list longer than a block is handed to it piece by piece as it arrives, so its length is
// not bounded by memory; what is left stays in out.
int RunAdminProgram(const char* query, const char* server_address, std::string& out, const AdminOutput& drain = nullptr);
