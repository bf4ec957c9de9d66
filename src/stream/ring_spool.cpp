#include "stream/ring_spool.h"

#include "core/platform/platform.h"
#include "ingest/real_buffer.h"
#include "media/ts_packet.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Pages are given back in whole 2 MiB units: a punched range that cuts a (huge) page is zeroed
// in place instead of let go, which would change bytes a socket still holds.
constexpr int64_t kReleaseAlign = 2 << 20;
constexpr int     kCopyBatch = 64;
constexpr off_t   kNominalSize = off_t{1} << 62;

bool WriteAll(int fd, iovec* pieces, int count, int64_t at)
{
    while (count > 0) {
        const ssize_t written = pwritev(fd, pieces, count, at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += written;
        auto left = static_cast<std::size_t>(written);
        for (; count > 0 && left >= pieces->iov_len; ++pieces, --count) left -= pieces->iov_len;
        if (count > 0) {
            pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

}  // namespace

RingSpool::~RingSpool()
{
    if (fd_ >= 0) close(fd_);
}

void RingSpool::Stop() { stopped_ = true; }

void RingSpool::Restart(const std::shared_ptr<RealBuffer>& ring)
{
    ring_ = ring;
    std::fill(std::begin(offsets_), std::end(offsets_), -1);
    std::fill(std::begin(lengths_), std::end(lengths_), 0);
    window_floor_ = end_;                         // what the old ring left is no slot's any more
    const int32_t input = channel_.input_index.load();
    const int back = std::min(filled_count(input, channel_.time_index.load()) - 1, kWindowSlots);
    next_ = (input - back + kRingSlots) % kRingSlots;
}

void RingSpool::CopyUpTo(int32_t input)
{
    iovec   pieces[kCopyBatch];
    int32_t indices[kCopyBatch];
    int64_t starts[kCopyBatch];
    int     count = 0;
    int64_t at = end_;
    auto write_out = [&]() {
        if (count == 0) return true;
        if (!WriteAll(fd_, pieces, count, end_)) return false;
        for (int k = 0; k < count; ++k) offsets_[indices[k]] = starts[k];
        end_ = at;
        count = 0;
        return true;
    };
    for (int copied = 0; next_ != input && copied < kRingSlots; ++copied) {
        const RealBufferSlot& slot = ring_->slots[next_];
        const int32_t got = slot.length.load(std::memory_order_acquire);
        const uint8_t* data = slot.data;
        int length = got < 1 ? 0 : slot_packets(slot, got, data);
        length -= length % kTsPacketSize;             // a reader sends whole packets only
        pieces[count] = {const_cast<uint8_t*>(data), static_cast<std::size_t>(length)};
        indices[count] = next_;
        starts[count] = at;
        lengths_[next_] = length;
        offsets_[next_] = -1;                         // until its bytes are in the file
        at += length;
        ++count;
        next_ = (next_ + 1) % kRingSlots;
            if (count == kCopyBatch && !write_out()) {
            Stop();                                   // a short write moved the pieces: no retry
            return;
        }
    }
    if (count > 0 && !write_out()) Stop();
}

int64_t RingSpool::OffsetOf(const std::shared_ptr<RealBuffer>& ring, int32_t index, int length)
{
    if (stopped_ || ring == nullptr || index < 0 || index >= kRingSlots) return -1;
    if (ring != ring_) {
        // Only the ring the writer fills now: the readers of an old one are leaving.
        if (ring->retired.load() != 0 || ring != channel_.Buffer()) return -1;
        Restart(ring);
    }
    // Pages of more than 4 KiB can make the kernel's folios larger than the release unit, and a
    // release that cuts one zeroes it in place: such systems send from memory.
    if (fd_ < 0 && sysconf(_SC_PAGESIZE) == 4096) {
        fd_ = OpenMemoryFile("live ring");
        // Sized far past anything written (the pages stay unallocated): where the system gives
        // memory files huge pages only within their size ("within_size"), the writes at the
        // end then get them too, and the kernel looks up one large page where it looked up 512.
        rlimit most{};
        const bool unlimited = getrlimit(RLIMIT_FSIZE, &most) == 0 && most.rlim_cur == RLIM_INFINITY;
        if (fd_ >= 0 && unlimited && ftruncate(fd_, kNominalSize) != 0) {
            // Only the pages' size depends on it.
        }
    }
    if (fd_ < 0) {
        Stop();
        return -1;
    }
    // Counted before the index is read: the count never says more than the copy will hold, so
    // a lap is found early rather than late.
    const uint64_t written = channel_.slots_written.load();
    // The writer went (nearly) a lap past the last copy while nobody asked (every viewer away
    // or far behind): the copies of the window are of an older lap, so they start again.
    const bool lapped = written - copied_written_ >= static_cast<uint64_t>(kWindowSlots);
    if (lapped) Restart(ring_);
    const int32_t input = channel_.input_index.load();
    const int ahead = (input - next_ + kRingSlots) % kRingSlots;
    // Committed after the last copy (a viewer at the writer's heels): copied now.
    if (ahead > 0 && (lapped || (index - next_ + kRingSlots) % kRingSlots < ahead)) {
        CopyUpTo(input);
        copied_written_ = written;
    }
    if (stopped_) return -1;
    const int back = (next_ - index + kRingSlots) % kRingSlots;
    if (back == 0 || back > kWindowSlots) return -1;
    if (offsets_[index] < released_ || lengths_[index] != length - length % kTsPacketSize) return -1;
    return offsets_[index];
}

void RingSpool::Release(int64_t keep_from)
{
    if (fd_ < 0 || stopped_) return;
    const int32_t oldest = (next_ - kWindowSlots + kRingSlots) % kRingSlots;
    const int64_t window = offsets_[oldest] >= 0 ? offsets_[oldest] : window_floor_;
    const int64_t until = std::min(keep_from, window) / kReleaseAlign * kReleaseAlign;
    if (until - released_ < kReleaseStep) return;
    if (!DropFileRange(fd_, released_, until - released_)) {
        Stop();                                      // the file would only grow: no more copies
        return;
    }
    released_ = until;
}

bool RingSpool::ReadBack(int64_t at, std::size_t length, std::vector<uint8_t>& out) const
{
    if (fd_ < 0 || at < released_ || at + static_cast<int64_t>(length) > end_) return false;
    const std::size_t base = out.size();
    out.resize(base + length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd_, out.data() + base + done, length - done, at + static_cast<int64_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            out.resize(base);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}
