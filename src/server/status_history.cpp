#include "server/status_history.h"

#include "core/platform/platform.h"
#include "core/service_stats.h"
#include "core/text.h"

#include <algorithm>

StatusHistory g_status_history;

void SampleRing::Push(uint64_t value)
{
    values_[next_] = value;
    next_ = (next_ + 1) % values_.size();
    if (count_ < values_.size()) ++count_;
}

uint64_t SampleRing::Back(std::size_t i) const
{
    return values_[(next_ + values_.size() - 1 - i) % values_.size()];
}

namespace {

void AppendRing(std::string& out, const char* name, const SampleRing& ring)
{
    out.append("\"").append(name).append("\":[");
    for (std::size_t i = ring.size(); i-- > 0;) {
        out.append(std::to_string(ring.Back(i)));
        if (i > 0) out += ',';
    }
    out += ']';
}

}  // namespace

void StatusHistory::Add(uint64_t now_ms, const ProcessFigures& process, uint64_t bytes_sent,
                        const std::vector<ChannelFigures>& channels)
{
    std::lock_guard<std::mutex> held(mutex_);
    process_[0] = process_[1];
    process_[1] = ProcessPoint{now_ms, process.cpu_seconds, bytes_sent};
    if (process_count_ < 2) ++process_count_;
    channels_.resize(channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const ChannelFigures& figures = channels[i];
        ChannelHistory& history = channels_[i];
        if (history.name != figures.name) history = ChannelHistory{figures.name, {}, {}, {}};
        history.bitrate.Push(figures.folder ? figures.file_bitrate : figures.bitrate);
        history.viewers.Push(static_cast<uint64_t>(figures.http + figures.rtsp + figures.hls));
        history.cc_errors.Push(figures.cc_errors);
    }
}

void StatusHistory::AppendProcess(std::string& out, uint64_t now_ms, const ProcessFigures& process,
                                  uint64_t bytes_sent) const
{
    double cpu_percent = 0, out_bitrate = 0;
    {
        std::lock_guard<std::mutex> held(mutex_);
        for (int i = 1; i >= 2 - process_count_; --i) {
            const ProcessPoint& point = process_[static_cast<std::size_t>(i)];
            if (now_ms < point.tick_ms + 1000) continue;
            const double seconds = static_cast<double>(now_ms - point.tick_ms) / 1000.0;
            cpu_percent = std::max(0.0, process.cpu_seconds - point.cpu_seconds) * 100.0 / seconds;
            out_bitrate = bytes_sent > point.bytes_sent ? static_cast<double>(bytes_sent - point.bytes_sent) * 8.0 / seconds : 0;
            break;
        }
    }
    char text[96];
    FormatText(text, ",\"cpu_percent\":%.1f,\"out_bitrate\":%.0f", cpu_percent, out_bitrate);
    out += text;
}

void StatusHistory::AppendChannel(std::string& out, const ChannelFigures& channel) const
{
    std::lock_guard<std::mutex> held(mutex_);
    const std::size_t index = static_cast<std::size_t>(channel.number - 1);
    if (channel.number < 1 || index >= channels_.size() || channels_[index].name != channel.name) {
        out += ",\"cc_errors_minute\":0,\"history\":{\"bitrate\":[],\"viewers\":[]}";
        return;
    }
    const ChannelHistory& history = channels_[index];
    // The counter a minute ago, or at the oldest sample when there is less than a minute.
    const std::size_t minute = 60000 / kHistoryStepMs;
    const uint64_t before = history.cc_errors.size() == 0 ? channel.cc_errors
                            : history.cc_errors.Back(std::min(minute, history.cc_errors.size()) - 1);
    out.append(",\"cc_errors_minute\":").append(std::to_string(channel.cc_errors >= before ? channel.cc_errors - before : 0));
    out += ",\"history\":{";
    AppendRing(out, "bitrate", history.bitrate);
    out += ',';
    AppendRing(out, "viewers", history.viewers);
    out += '}';
}

void StatusHistory::Clear()
{
    std::lock_guard<std::mutex> held(mutex_);
    channels_.clear();
    process_count_ = 0;
}

uint64_t ServicesBytesSent()
{
    uint64_t sum = 0;
    for (const ServiceStats* stats : {&g_http_stats, &g_rtsp_stats, &g_vod_stats})
        sum += stats->bytes_sent.load(std::memory_order_relaxed);
    return sum;
}

int32_t StatusSamplerThread(void*)
{
    while (!ProcessStopRaised()) {
        const uint64_t now_ms = GetTickMs();
        const std::vector<ViewerRow> viewers = CollectViewers(now_ms);
        g_status_history.Add(now_ms, ReadProcessFigures(), ServicesBytesSent(), CollectChannels(now_ms, viewers));
        SleepUnlessStopping(static_cast<uint32_t>(kHistoryStepMs));
    }
    return 0;
}
