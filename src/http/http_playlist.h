#pragma once
// The channel list for IPTV player apps: "/playlist.m3u" (and ".m3u8") answers every channel
// with its "/N.ch" address on this server, the caller's credentials carried over when users
// are checked, and the catch-up addresses of channels with an archive; its header names the
// programme guide, "/epg.xml" (XMLTV, the channels' ids the list's tvg-id). Also the answer
// helpers the HLS requests share with it.

#include "channels/channel_table.h"
#include "net/connection.h"

#include <ctime>
#include <string>
#include <string_view>

// The request's target (after "GET ", up to the space before "HTTP/").
std::string_view RequestTarget(const char* request);
// The value of a request header (name without the colon, matched without regard to case),
// trimmed; "" without one.
std::string HeaderValue(const char* request, std::string_view name);
// The host and port the client asked for (its Host header) when it is a plain host name or
// address; otherwise this end of the connection's socket.
std::string RequestHost(const char* request, int socket);
// "u=...&p=..." (and "m=..." when given) of the connection's credentials for an address in a
// list, each value cut at the characters that cannot stand in one; "" without a user.
std::string CredentialQuery(const PlayerConnection& conn);
// An HTTP date ("Thu, 10 Dec 2026 01:02:03 GMT") and back; -1 for a text that is not one.
std::string HttpDate(std::time_t when);
std::time_t ParseHttpDate(std::string_view text);

// The M3U list of a table for host; query (may be "") ends each address; archive_on: the
// server records channels that have a rec_folder. With a user, only the channels the user's
// packages hold.
std::string ChannelListText(const ChannelTable& table, const std::string& host, const std::string& query, bool archive_on,
                            const char* user = nullptr);

// How far back the guide goes.
constexpr int64_t kGuidePastSeconds = 7 * 86400;
// The programme guide as XMLTV for host: every channel (id its number), the programmes of the
// last week and those ahead; with a user, of the channels the user's packages hold.
std::string GuideText(const ChannelTable& table, const std::string& host, int64_t now, const char* user = nullptr);

// The head of an answer: status line, the given header lines (each ending "\r\n"), the
// length, "Connection: close" and the empty line.
std::string AnswerHead(bool http11, const char* status, const std::string& headers, std::size_t length);

// The answer to a conditional request (If-None-Match, else If-Modified-Since) that a cache's
// copy still matches: a 304 with headers; "" when the copy is stale or the request is plain.
std::string NotModified(const char* request, bool http11, const std::string& etag, std::time_t modified,
                        const std::string& headers);
// The header lines a cache needs: the lifetime (private while users are checked: addresses
// carry credentials or a viewing's token), the validator and the time.
std::string CacheHeaders(int max_age, const std::string& etag, std::time_t modified);

// Answers "/playlist.m3u", "/playlist.m3u8" and "/epg.xml" (the same authorization); false for any other request (untouched).
bool ServeChannelList(PlayerConnection& conn, const char* request, bool http11);
// Whether ServeChannelList answers the request.
bool IsChannelListRequest(const char* request);
