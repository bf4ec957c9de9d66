// Fuzz entry for what an RTSP player sends: the request framing over a stream of reads, the
// header values, the Transport, Range and media path readers. The first byte picks the
// reader; the rest is its input.

#include "rtsp/rtsp_request.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);   // may hold zero bytes
    switch (data[0] % 3) {
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
    }
    return 0;
}
