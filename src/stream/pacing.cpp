#include "stream/pacing.h"

#include "core/platform/platform.h"
#include "media/ts_file.h"
#include "media/ts_timing.h"

#include <algorithm>
#include <cmath>

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

int64_t BlockSleepMicroseconds(float bitrate_constant, double kbps)
{
    if (!(kbps > 0)) return 0;
    const double us = (1.0 - static_cast<double>(bitrate_constant)) * kTsBlockSize * 4000.0 / kbps;
    if (!(us > 0) || !std::isfinite(us)) return 0;
    return us > 1e9 ? static_cast<int64_t>(1e9) : static_cast<int64_t>(us);
}

BitratePacer::BitratePacer(int64_t sleep_us)
    : sleep_ms_(sleep_us / 1000), remainder_us_(sleep_us % 1000), carried_us_(sleep_us % 1000)
{
}

int64_t BitratePacer::NextMs()
{
    int64_t pause = sleep_ms_;
    if (carried_us_ >= 1000) {
        carried_us_ -= 1000;
        pause = sleep_ms_ + 1;
    }
    carried_us_ += remainder_us_;
    return pause;
}

FilePacer::FilePacer(const FileClock& clock, double first_pcr_time) : clock_(clock), first_pcr_time_(first_pcr_time) {}

void FilePacer::Seeked(double position_seconds)
{
    if (clock_) {
        clock_->current_position.store(position_seconds);
        clock_->last_pcr_time.store(first_pcr_time_ + position_seconds);
    }
    restart_ = true;
}

int64_t FilePacer::Next(const uint8_t* chunk, int size)
{
    int64_t ticks = 0;
    took_pcr_ = FindPcrPacket(chunk, size, kPlainTsLayout, 0, 0, ticks) >= 0;
    if (!took_pcr_) return 0;
    // A PCR that went backwards (a new recording, a wrapped clock) starts the reference again.
    const bool paced = !restart_ && last_ticks_ >= 0 && ticks >= last_ticks_;
    const double delta = paced ? static_cast<double>(ticks - last_ticks_) / static_cast<double>(kPcrTicksPerSecond) : 0.0;
    restart_ = false;
    last_ticks_ = ticks;
    if (clock_) {
        const double seconds = static_cast<double>(ticks) / static_cast<double>(kPcrTicksPerSecond);
        clock_->last_pcr_time.store(seconds);
        clock_->current_position.store(std::max(0.0, seconds - first_pcr_time_));
        clock_->last_pcr_value = static_cast<uint64_t>(ticks);
    }
    return std::min(sleep_.NextMs(delta), kMaxPaceSleepMs);
}
