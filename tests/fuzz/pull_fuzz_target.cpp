// Fuzz entry for what the pull clients read from a source: AMF0 values and metadata, the
// RTMP chunk stream and its command replies, RTSP replies, SDP and the interleaved stream,
// HTTP reply heads and chunked bodies, and the cutting of a stream into packet-aligned slots.
// The first byte picks the parser and how the rest is cut into receives.

#include "ingest/pull_common.h"
#include "ingest/pull_http.h"
#include "ingest/pull_rtmp.h"
#include "ingest/pull_rtsp.h"
#include "rtmp/amf0.h"
#include "rtmp/rtmp_chunk.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Calls take(piece, length) over input cut into receives of 1 to 64 * seed bytes.
template <typename Take>
void InPieces(const uint8_t* input, size_t length, uint8_t seed, Take take)
{
    const size_t step = 1 + static_cast<size_t>(seed % 16) * 97;
    for (size_t at = 0; at < length; at += step) take(input + at, length - at < step ? length - at : step);
}

void FuzzAmf0(const uint8_t* input, size_t length)
{
    const uint8_t* end = input + length;
    uint8_t out[128];
    for (const uint8_t* at = input; at < end;) {
        const int used = AMF0_GetValue(at, end, out, sizeof out);
        if (used > end - at) __builtin_trap();
        at += used > 0 ? used : 1;
    }
    for (const char* name : {"width", "framerate", "videocodecid", "a"}) {
        AMF0_FindProperty(input, end, name, out, sizeof out, static_cast<int>(length));
        AMF0_FindProperty(input, end, name, out, 9, static_cast<int>(length));
    }
    int32_t message_length = 0;
    int32_t type = 0;
    RTMP_ReadMessageHeader(input, length, message_length, type);
}

void FuzzChunkStream(const uint8_t* input, size_t length, uint8_t seed)
{
    RtmpChunkReader reader;
    bool broken = false;
    InPieces(input, length, seed, [&](const uint8_t* piece, size_t size) {
        if (broken) return;
        size_t fed = 0;
        const auto check = [&](const RtmpMessage& m) {
            if (m.body_kept > m.length || m.end > static_cast<int>(fed) || m.first_chunk >= static_cast<int>(fed)) __builtin_trap();
            RtmpMetadata metadata;
            ParseOnMetaData(m, metadata);
            char name[64];
            double transaction = 0;
            ReadCommand(m, name, transaction);
            return (seed & 0x80) == 0 || m.type != 20;       // sometimes stop at a command, as a wait does
        };
        long taken = 0;
        for (size_t done = 0; done < size && taken >= 0; done += static_cast<size_t>(taken)) {
            fed = size - done;
            taken = reader.Feed(piece + done, fed, check, check);
            if (taken == 0) break;
        }
        broken = taken < 0;
    });
}

void FuzzRtsp(const uint8_t* input, size_t length, uint8_t seed)
{
    const char* text = reinterpret_cast<const char*>(input);
    const RtspReply reply = ParseRtspReply(text, length);
    if (reply.length < 0 || static_cast<size_t>(reply.length) > length) __builtin_trap();
    char url[kRtspUrlSize];
    SdpControlUrl(std::string_view(text, length), true, "rtsp://127.0.0.1:554/live", url);
    SdpControlUrl(std::string_view(text, length), false, "rtsp://127.0.0.1:554/live/", url);
    size_t offset = 0;
    size_t payload = 0;
    if (RtpPayload(input, length, offset, payload) && offset + payload > length) __builtin_trap();
    InterleavedDeframer deframer;
    InPieces(input, length, seed, [&](const uint8_t* piece, size_t size) {
        deframer.Feed(piece, size, [&](const uint8_t*, size_t got) {
            if (got > 65535) __builtin_trap();
        });
    });
}

void FuzzHttp(const uint8_t* input, size_t length, uint8_t seed)
{
    const HttpSourceHead head = ParseHttpSourceHead(reinterpret_cast<const char*>(input), length);
    if (head.header_length < 0 || static_cast<size_t>(head.header_length) > length) __builtin_trap();
    HttpSourceHead chunked;
    chunked.chunked = true;
    HttpBodyReader reader(chunked);
    std::vector<uint8_t> copy(input, input + length);
    InPieces(copy.data(), copy.size(), seed, [&](const uint8_t* piece, size_t size) {
        if (reader.Take(const_cast<uint8_t*>(piece), size) > size) __builtin_trap();
    });
    // Any body framed in chunks of the seed's sizes decodes back to itself.
    std::string wire;
    const size_t step = 1 + seed % 50;
    for (size_t at = 0; at < length; at += step) {
        const size_t size = length - at < step ? length - at : step;
        char line[32];
        std::snprintf(line, sizeof line, "%zX%s\r\n", size, (seed & 1) != 0 ? ";x=y" : "");
        wire += line;
        wire.append(reinterpret_cast<const char*>(input + at), size);
        wire += "\r\n";
    }
    wire += "0\r\n\r\n";
    HttpBodyReader round(chunked);
    std::vector<uint8_t> bytes(wire.begin(), wire.end());
    std::string body;
    InPieces(bytes.data(), bytes.size(), seed, [&](const uint8_t* piece, size_t size) {
        const size_t kept = round.Take(const_cast<uint8_t*>(piece), size);
        body.append(reinterpret_cast<const char*>(piece), kept);
    });
    if (!round.Finished() || body.size() != length || std::memcmp(body.data(), input, length) != 0) __builtin_trap();
}

void FuzzReblocker(const uint8_t* input, size_t length, uint8_t seed)
{
    TsReblocker reblocker;
    size_t blocks = 0;
    InPieces(input, length, seed, [&](const uint8_t* piece, size_t size) {
        reblocker.Feed(piece, size, [&](const uint8_t* block) {
            for (int p = 0; p < 7; ++p)
                if (block[p * 188] != 0x47) __builtin_trap();
            ++blocks;
        });
    });
    if (blocks * 1316 > length) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const uint8_t* input = data + 1;
    const size_t length = size - 1;
    switch (selector % 5) {
    case 0: FuzzAmf0(input, length); break;
    case 1: FuzzChunkStream(input, length, selector); break;
    case 2: FuzzRtsp(input, length, selector); break;
    case 3: FuzzHttp(input, length, selector); break;
    default: FuzzReblocker(input, length, selector); break;
    }
    return 0;
}
