#pragma once
// A player's credentials as HTTP and RTSP requests carry them: query parameters or an
// "Authorization: Basic" header.

#include "net/connection.h"

// Credentials from a query (the text after "?", ending at the first space). Clears all three
// first. Each of "u=", "p=", "m=" is found anywhere; its value ends at the first separator,
// else the second, else "%26", else the end of the query.
void ParseQueryCredentials(const char* query, char separator, char second_separator, char (&mac_id)[kMacIdSize],
                           char (&user)[kCredentialSize], char (&password)[kCredentialSize]);
// Credentials from the text after "Authorization: Basic " (up to "\r\n"). Clears all three.
void ParseBasicCredentials(const char* text, char (&mac_id)[kMacIdSize], char (&user)[kCredentialSize],
                           char (&password)[kCredentialSize]);
