// Fuzz entry for reading what a stream carries: the bytes after the first are fed as a byte
// stream in pieces the first byte sizes; with its top bit set, every 188 bytes are made a
// packet of PID 0, the first PMT PID or the first stream instead (sync byte forced), so that
// most packets reach the tables and the parameter sets. What is read must stay in its bounds.

#include "media/stream_facts.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    StreamFacts facts;
    if ((mode & 0x80) != 0) {
        uint8_t packet[188];
        for (size_t at = 0; at < size; at += sizeof packet) {
            std::memset(packet, 0xFF, sizeof packet);
            std::memcpy(packet, data + at, std::min(sizeof packet, size - at));
            packet[0] = 0x47;
            const uint16_t pid = (packet[1] & 3) == 0 ? 0 : (packet[1] & 3) == 1 ? 0x1000 : 0x100;
            packet[1] = static_cast<uint8_t>((packet[1] & 0xE0) | pid >> 8);
            packet[2] = static_cast<uint8_t>(pid);
            facts.Packet(packet);
        }
    } else {
        const size_t piece = 1 + (mode & 0x7F) * 13;
        for (size_t at = 0; at < size; at += piece) facts.Feed(data + at, std::min(piece, size - at));
    }
    if (facts.programs().size() > static_cast<size_t>(kFactsMaxPrograms)) __builtin_trap();
    for (const StreamFactsProgram& program : facts.programs()) {
        if (program.streams.size() > static_cast<size_t>(kFactsMaxStreams)) __builtin_trap();
        for (const StreamFactsStream& stream : program.streams)
            if (stream.width < 0 || stream.width > 16384 || stream.height < 0 || stream.height > 16384 || stream.language.size() > 3)
                __builtin_trap();
    }
    (void)facts.Bitrate(1.0);
    (void)facts.Complete();
    int width = 0, height = 0;
    (void)SpsPictureSize(data, size, (mode & 1) != 0, width, height);
    return 0;
}
