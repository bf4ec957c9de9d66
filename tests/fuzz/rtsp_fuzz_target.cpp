// Fuzz entry for what an RTSP player sends: the request framing over a stream of reads, the
// header values, the Transport, Range and media path readers; and for what the file streamers
// read: the PCR and PAT searches over file bytes and the seek over a ring file. The first byte
// picks the reader; the rest is its input.

#include "media/ts_timing.h"
#include "rtsp/rtsp_file_stream.h"
#include "rtsp/rtsp_request.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace {

bool IsPacketStart(TsLayout layout, int64_t at)
{
    const int64_t in = at % layout.record;
    return at >= 0 && in >= layout.skip && (in - layout.skip) % kTsPacketSize == 0 && in + kTsPacketSize <= layout.record;
}

// The searches over file bytes (data[0] picks the layout, data[1..2] the offsets), then the
// seek over the same bytes as a ring file whose start data[3..4] picks.
void SearchFileBytes(const uint8_t* data, std::size_t size)
{
    if (size < 5) return;
    const TsLayout layout = (data[0] & 1) != 0 ? kRtpSlotLayout : kPlainTsLayout;
    const int from = data[1] * 37;
    const int before = data[2] * 53;
    const int64_t ring_start = (data[3] << 8 | data[4]) * static_cast<int64_t>(layout.record);
    const uint8_t* bytes = data + 5;
    const int length = static_cast<int>(size - 5);
    int64_t ticks = 0;
    const int pcr = FindPcrPacket(bytes, length, layout, from, 0, ticks);
    if (pcr >= 0 && (!IsPacketStart(layout, pcr) || pcr < from || pcr + kTsPacketSize > length || bytes[pcr] != kTsSyncByte))
        __builtin_trap();
    const int pat = FindPatPacket(bytes, length, layout, from);
    if (pat >= 0 && (!IsPacketStart(layout, pat) || pat < from || pat + kTsPacketSize > length || !is_pat(bytes + pat)))
        __builtin_trap();
    const int last = FindLastPatPacket(bytes, length, layout, before);
    if (last >= 0 && (!IsPacketStart(layout, last) || last >= before || last + kTsPacketSize > length || !is_pat(bytes + last)))
        __builtin_trap();
    if (last < kNoSyncByte) __builtin_trap();
    const int64_t next = layout.PacketAtOrAfter(from);
    if (!IsPacketStart(layout, next) || next < from) __builtin_trap();

    const int fd = memfd_create("ring", MFD_CLOEXEC);
    if (fd < 0) return;
    if (write(fd, bytes, static_cast<std::size_t>(length)) == length) {
        const int64_t ring_length = layout.RecordStart(length);
        const TsRing ring(fd, layout, ring_length > 0 ? ring_start % ring_length : 0, ring_length);
        const auto never = [] { return false; };
        const SeekPoint point = FindSeekPoint(ring, ticks + data[2], from, never);
        if (point.pat_at < 0 || point.pat_at > ring.length()) __builtin_trap();
        if (point.pat_found) {
            uint8_t packet[kTsPacketSize];
            if (ring.Read(point.pat_at, packet, kTsPacketSize) != kTsPacketSize || !is_pat(packet) || packet[0] != kTsSyncByte)
                __builtin_trap();
        }
        int64_t first = 0;
        (void)MeasureRingKbps(ring, first, never);
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);   // may hold zero bytes
    switch (data[0] % 4) {
    case 0: {
        // The command thread's loop: units taken off the front until one is incomplete.
        std::string_view rest(text);
        for (int units = 0; units < 1000; ++units) {
            std::size_t length = 0;
            const RtspUnit unit = NextRtspUnit(rest, 512, length);
            if (unit != RtspUnit::kRequest && unit != RtspUnit::kInterleaved) break;
            const std::string_view request = rest.substr(0, length);
            uint32_t number = 0;
            (void)RtspHeaderNumber(request, "CSeq", number);
            (void)RtspHeaderNumber(request, "Session", number);
            (void)RtspUrl(request);
            rest.remove_prefix(length);
        }
        break;
    }
    case 1: {
        const RtspTransport transport = ParseRtspTransport(text);
        (void)transport;
        double start = 0, end = 0;
        bool has_end = false;
        (void)RtspRange(text, start, has_end, end);
        break;
    }
    case 2: {
        std::size_t start = 0;
        const std::size_t end = RtspMediaPathEnd(text, start);
        if (end != 0 && (start > end || end > text.size())) __builtin_trap();
        break;
    }
    case 3: SearchFileBytes(data + 1, size - 1); break;
    }
    return 0;
}
