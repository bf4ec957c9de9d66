#pragma once
// "GET /metrics" (the Prometheus text exposition format, version 0.0.4), "GET /status.json"
// (the same figures and the current viewers, for the status page), "GET /guide.json"
// (one channel's programmes, for the guide page) and "GET /channel.json" (what one channel's
// stream carries), all for root only: the root token as
// "?token=" or root's Basic credentials. Without "metrics=1" the paths are left to the file
// routes, as if they did not exist.

#include <cstdint>
#include <string>
#include <string_view>

class PlayerConnection;

// The route installed at start-up (g_metrics_route): answers these paths, true when it did.
bool ServeMetricsRequest(PlayerConnection& conn, const char* request);
// Whether ServeMetricsRequest answers the request (installed as g_metrics_claims).
bool IsMetricsRequest(const char* request);

// Who may read the pages. kNone: no or wrong credentials (401); kOther: a valid account that
// is not root (403).
enum class MetricsAccess { kNone, kOther, kRoot };
// Decides from a request head: a "token=" parameter first, else an "Authorization: Basic" line.
MetricsAccess CheckMetricsAccess(const char* request);

// A label value of the exposition format with backslash, double quote and line feed escaped.
std::string PrometheusLabel(std::string_view value);
// A JSON string literal (quotes included): control characters escaped, invalid UTF-8 bytes
// replaced by U+FFFD.
std::string JsonString(std::string_view value);

// The two documents as of now_ms (GetTickMs time).
std::string MetricsText(uint64_t now_ms);
std::string StatusJson(uint64_t now_ms);
// How far back the guide page goes.
constexpr int64_t kGuideWeekSeconds = 7 * 86400;
// The programmes of the channel the query names ("channel=N") from a week before `now` to a day
// after it, and whether the channel keeps an archive to play them from.
std::string GuideJson(std::string_view query, int64_t now);
// What the stream of the channel the query names ("channel=N") carries, from its ring or its
// folder; found false (and {"channel":0}) for no such channel.
std::string ChannelJson(std::string_view query, bool& found);
