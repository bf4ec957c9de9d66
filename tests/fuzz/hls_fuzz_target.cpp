// Fuzz entry for the HLS parsers: the addresses (HLS, catch-up, archive names, query, dates,
// headers) and the segment cutter with its key-frame search. The first byte picks which; the
// cutter's runs are cut where the input says. Every segment must be whole packets that start
// with a PAT.

#include "channels/archive.h"
#include "http/http_hls.h"
#include "http/http_playlist.h"
#include "media/ts_cutter.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t* body = data + 1;
    const size_t length = size - 1;
    if (data[0] % 2 == 0) {
        const std::string text(reinterpret_cast<const char*>(body), length);
        const HlsPath path = ParseHlsPath(text);
        if (path.kind != HlsPath::kNone && (path.channel < 1 || path.sequence < 0 || path.start < 0)) std::abort();
        (void)QueryParameter(text, "t");
        (void)ParseHttpDate(text);
        (void)ArchiveFileStart(text);
        (void)HeaderValue(text.c_str(), "Host");
        (void)RequestTarget(text.c_str());
        return 0;
    }
    TsSegmentCutter cutter([](TsSegmentCutter::Segment&& segment) {
        const std::string& bytes = segment.data;
        if (bytes.size() < 188 || bytes.size() % 188 != 0 || bytes[0] != 0x47) std::abort();
        if (((static_cast<uint8_t>(bytes[1]) & 0x1F) << 8 | static_cast<uint8_t>(bytes[2])) != 0) std::abort();
        if (!(segment.duration > 0)) std::abort();
    });
    // Runs of (data[0] / 2) * 7 + 1 bytes, a restart after every 64th run.
    const size_t run = static_cast<size_t>(data[0] / 2) * 7 + 1;
    size_t runs = 0;
    for (size_t at = 0; at < length; at += run) {
        cutter.Feed(body + at, length - at < run ? length - at : run);
        if (++runs % 64 == 0) cutter.Restart();
    }
    const int64_t start = FindKeyFrameStart(body, length);
    if (start >= static_cast<int64_t>(length) || (start >= 0 && body[start] != 0x47)) std::abort();
    return 0;
}
