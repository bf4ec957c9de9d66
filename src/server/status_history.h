#pragma once
// The last five minutes of the status figures, so that a status page opened now draws them at
// once: a sample every 5 s of each channel's input bitrate, viewers and continuity errors, and
// of the process's CPU time and bytes sent, in fixed rings. The sampler thread runs from
// start-up until the process stops.

#include "server/status_figures.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

constexpr int      kHistorySamples = 60;
constexpr uint64_t kHistoryStepMs = 5000;

// A fixed ring of the latest kHistorySamples values, oldest first when read.
class SampleRing {
public:
    void Push(uint64_t value);
    std::size_t size() const { return count_; }
    // The value i samples back (0: the latest); i < size().
    uint64_t Back(std::size_t i) const;

private:
    std::array<uint64_t, kHistorySamples> values_{};
    std::size_t next_ = 0, count_ = 0;
};

class StatusHistory {
public:
    // One sample of everything, taken at now_ms (GetTickMs time).
    void Add(uint64_t now_ms, const ProcessFigures& process, uint64_t bytes_sent, const std::vector<ChannelFigures>& channels);
    // ,"cpu_percent":..,"out_bitrate":.. over the time since the latest sample at least a
    // second old (both 0 before there is one).
    void AppendProcess(std::string& out, uint64_t now_ms, const ProcessFigures& process, uint64_t bytes_sent) const;
    // ,"cc_errors_minute":..,"history":{"bitrate":[..],"viewers":[..]} of a channel, oldest
    // first; the errors of the last minute count from the sample a minute before now.
    void AppendChannel(std::string& out, const ChannelFigures& channel) const;
    void Clear();

private:
    struct ChannelHistory {
        std::string name;          // a channel renumbered or renamed starts a new history
        SampleRing  bitrate, viewers, cc_errors;
    };
    struct ProcessPoint {
        uint64_t tick_ms = 0;
        double   cpu_seconds = 0;
        uint64_t bytes_sent = 0;
    };
    mutable std::mutex          mutex_;
    std::vector<ChannelHistory> channels_;           // by channel number - 1
    std::array<ProcessPoint, 2> process_{};         // the two latest samples
    int                         process_count_ = 0;
};

extern StatusHistory g_status_history;

// Bytes sent by every service so far.
uint64_t ServicesBytesSent();
// Samples into g_status_history every kHistoryStepMs until the process stops.
int32_t StatusSamplerThread(void* unused);
