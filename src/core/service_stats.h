#pragma once
// Counters of the client services (HTTP, RTSP, VOD) for the metrics pages: connections taken,
// requests answered and refused. Each is bumped where the service decides; relaxed atomics.

#include <atomic>
#include <cstddef>
#include <cstdint>

struct ServiceStats {
    const char*           name;
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> accepted{0};             // requests served
    std::atomic<uint64_t> refused_user{0};         // wrong user name or password (1001)
    std::atomic<uint64_t> refused_expired{0};      // subscription expired (1002)
    std::atomic<uint64_t> not_found{0};            // nothing to serve at the path (404)
    std::atomic<uint64_t> bytes_sent{0};           // media bytes sent to its viewers
};

extern ServiceStats g_http_stats;
extern ServiceStats g_rtsp_stats;
extern ServiceStats g_vod_stats;

// The counters of a service by its name ("HTTP", "RTSP", "VOD"); null for any other.
ServiceStats* FindServiceStats(const char* name);
// Media bytes that went out to a viewer: its own count and its service's total (either may be
// null).
inline void CountSent(std::atomic<uint64_t>* viewer, ServiceStats* service, std::size_t bytes)
{
    if (viewer != nullptr) viewer->fetch_add(bytes, std::memory_order_relaxed);
    if (service != nullptr) service->bytes_sent.fetch_add(bytes, std::memory_order_relaxed);
}
// Counts a relative increase of one.
inline void Bump(std::atomic<uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
// Counts an HTTP-style answer by its status code ("HTTP/1.0 404 ...": not found, 1001, 1002;
// 200 and 206 as accepted).
void CountAnswer(ServiceStats& stats, const char* answer);
