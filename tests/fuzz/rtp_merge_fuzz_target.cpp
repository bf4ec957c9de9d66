// Fuzz entry for the hitless merge of two RTP paths. Every three bytes make a datagram: its
// path, one of four SSRCs, its size, a step or a jump of the sequence number, the time that
// passes and an expiry. Whatever arrives, every packet that goes out is RTP of at most one
// slot, and between two restarts the numbers only go up.

#include "ingest/rtp_merge.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Checker {
    const RtpMerger* merger = nullptr;
    uint64_t         outputs = 0;
    bool             has_last = false;
    uint32_t         last_ssrc = 0;
    uint16_t         last_sequence = 0;
    uint64_t         last_resyncs = 0;

    void Take(const uint8_t* data, std::size_t length, int path)
    {
        if (length < 12 || length > static_cast<std::size_t>(kRtpSlotSize) || (data[0] >> 6) != 2 || path < 0 || path > 1)
            std::abort();
        const uint16_t sequence = static_cast<uint16_t>((data[2] << 8) | data[3]);
        const uint32_t ssrc = (uint32_t{data[8]} << 24) | (uint32_t{data[9]} << 16) | (uint32_t{data[10]} << 8) | data[11];
        const uint64_t resyncs = merger->Counts().resyncs;
        if (has_last && resyncs == last_resyncs) {
            const uint16_t ahead = static_cast<uint16_t>(sequence - last_sequence);
            if (ssrc != last_ssrc || ahead == 0 || ahead >= 32768) std::abort();
        }
        has_last = true;
        last_ssrc = ssrc;
        last_sequence = sequence;
        last_resyncs = resyncs;
        ++outputs;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Checker checker;
    auto merger = std::make_unique<RtpMerger>([&checker](const uint8_t* out, std::size_t length, int path) {
        checker.Take(out, length, path);
    });
    checker.merger = merger.get();

    uint64_t now_ms = 1000;
    uint8_t packet[kRtpSlotSize + 200] = {0x80};
    uint16_t sequences[4] = {0, 1000, 30000, 65500};
    for (size_t at = 0; at + 3 <= size; at += 3) {
        const uint8_t how = data[at];
        const int stream = (how >> 1) & 3;
        uint16_t& sequence = sequences[stream];
        if ((how & 0x80) != 0) sequence = static_cast<uint16_t>((data[at + 1] << 8) | data[at + 2]);
        else sequence = static_cast<uint16_t>(sequence + static_cast<int8_t>(data[at + 1]));
        packet[2] = static_cast<uint8_t>(sequence >> 8);
        packet[3] = static_cast<uint8_t>(sequence);
        packet[11] = static_cast<uint8_t>(stream);
        const size_t sizes = (how >> 3) & 0x0F;         // 0: a datagram too short for RTP
        merger->Offer(how & 1, packet, sizes == 0 ? 5 : 12 + (sizes - 1) * 100, now_ms);
        now_ms += (how & 0x80) != 0 ? 1 : (data[at + 2] & 0x3F);
        if ((data[at + 2] & 0xC0) == 0xC0) merger->Expire(now_ms);
    }
    merger->Expire(now_ms + 10 * kRtpMergeWindowMs);
    const RtpMergeCounts& counts = merger->Counts();
    if (counts.used[0] + counts.used[1] != checker.outputs) std::abort();
    return 0;
}
