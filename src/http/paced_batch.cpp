#include "http/paced_batch.h"

#include "core/platform/platform.h"
#include "media/ts_timing.h"

namespace {
constexpr std::size_t kBatchBytes = static_cast<std::size_t>(kTsBlockSize) * 32;
constexpr int64_t     kStepMs     = 100;
constexpr int64_t     kLongestMs  = 10000;
}  // namespace

PacedBatch::PacedBatch(std::function<bool(const uint8_t*, int)> send) : send_(std::move(send))
{
    bytes_.reserve(kBatchBytes);
}

bool PacedBatch::Add(const uint8_t* data, int length)
{
    bytes_.insert(bytes_.end(), data, data + length);
    return bytes_.size() < kBatchBytes || Flush();
}

bool PacedBatch::AddSleep(int64_t ms)
{
    if (ms > 0) pending_ms_ += ms > kLongestMs ? kLongestMs : ms;
    if (pending_ms_ < kStepMs) return true;
    if (!Flush()) return false;
    const int64_t sleep = pending_ms_;
    pending_ms_ = 0;
    SleepUnlessStopping(static_cast<uint32_t>(sleep));
    return true;
}

bool PacedBatch::Flush()
{
    if (bytes_.empty()) return true;
    const bool sent = send_(bytes_.data(), static_cast<int>(bytes_.size()));
    bytes_.clear();
    return sent;
}
