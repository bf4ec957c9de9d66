// Fuzz entry for the parsers of untrusted text and packets: DVB tables from a multiplex, the
// user file, the credential parsers of a request, the byte range and channel number of a
// request, Base64, the configuration key reader, and a ring reader's join at a key picture.
// The DVB tables' programs are then cut out of the same packets and held for a key picture.
// The first byte picks the parser; the rest is its input.

#include "channels/channel_table.h"
#include "core/base64.h"
#include "core/config.h"
#include "http/http_request.h"
#include "ingest/dvb_parser.h"
#include "ingest/dvb_program_filter.h"
#include "ingest/real_buffer.h"
#include "stream/dvb_program.h"
#include "support/test_channel.h"
#include "users/credentials.h"
#include "users/user_db.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t* input = data + 1;
    const size_t length = size - 1;
    const std::string text(reinterpret_cast<const char*>(input), length);   // may hold zero bytes
    switch (data[0] % 7) {
    case 0: {
        auto table = MakeMultiplexTable(2);
        DvbParserState state;
        for (size_t at = 0; at < length; at += 188) {
            uint8_t packet[188] = {};
            std::memcpy(packet, input + at, length - at < 188 ? length - at : 188);
            if (parse_dvb_packet(packet, *table, 0, state)) state = DvbParserState{};
        }
        // Each program the tables named, cut out of the same packets and held for its first key
        // picture, as its recorders and viewers take it.
        for (const auto& channel : table->channels) {
            const SourceRecord& source = *channel->FirstSource();
            if (source.program_number.load() == 0) continue;
            DvbProgramFilter filter(source);
            DvbKeyGate gate(filter.pmt_pid());
            for (size_t at = 0; at + 188 <= length; at += 188) {
                uint8_t packet[188];
                std::memcpy(packet, input + at, 188);
                filter.Refresh();
                const DvbProgramFilter::Verdict verdict = filter.Pass(packet);
                if (verdict == DvbProgramFilter::Verdict::kDrop || gate.open()) continue;
                if (gate.Hold(packet, verdict) && gate.released().size() % 188 != 0) __builtin_trap();
            }
        }
        break;
    }
    case 1: (void)ParseUserText(text); break;
    case 2: {
        char mac[kMacIdSize];
        char user[kCredentialSize];
        char password[kCredentialSize];
        const char separator = length > 0 ? static_cast<char>(input[0]) : '&';
        ParseQueryCredentials(text.c_str(), separator, '&', mac, user, password);
        ParseBasicCredentials(text.c_str(), mac, user, password);
        break;
    }
    case 3:
        for (size_t at = 0; at < text.size(); ++at) (void)MatchExtensionAt(text.c_str() + at);
        (void)base64_decode(text.data(), text.size());
        (void)ChannelNumberOf(text.c_str());
        for (const int64_t file_size : {int64_t{0}, int64_t{1000}, int64_t{1} << 40}) {
            const ByteRange range = ParseByteRange(text.c_str(), file_size);
            if (range.end > file_size || range.start < 0) __builtin_trap();
        }
        break;
    case 4: {
        std::string normalised = text;
        NormaliseLineEnd(normalised);
        std::string_view value;
        const char* keys[] = {"httpport", "path", "bitrate_constant", "dns_ip", ""};
        for (const char* key : keys) (void)FindKeyValue(normalised, key, value);
        break;
    }
    case 5: {
        // The input in slots of one size (UDP, RTP or any run of a pull source), then a join
        // and the slots after it.
        const int kind = data[0] / 7 % 3;
        const size_t slot_size = kind == 0 ? 1316 : kind == 1 ? 1328 : 1 + data[0] % 100 * 13;
        TestChannel test;
        int slots = 0;
        for (size_t at = 0; at < length && slots < 900; at += slot_size, ++slots) {
            const size_t part = length - at < slot_size ? length - at : slot_size;
            test.Write(std::vector<uint8_t>(input + at, input + at + part));
        }
        RingReader reader(test.channel, kind == 2, 1);
        std::vector<uint8_t> first;
        // Stopped once the search reaches the writer, instead of waiting there for more slots.
        const int32_t looks_left = slots - join_point(test.channel.input_index.load(), test.channel.time_index.load());
        int looks = 0;
        if (reader.JoinAtPat([&] { return ++looks > looks_left; }, first) == RingReader::Join::kJoined) {
            if (first.empty() || first.size() > kRingSlotSize + 2 * 188) __builtin_trap();
            uint8_t slot[kRingSlotSize];
            int got = 0;
            while (reader.NextSlot(slot, got) == RingReader::Next::kSlot) {
            }
        }
        break;
    }
    default: {
        std::string round = base64_encode(input, length, (length & 1) != 0);
        auto back = base64_decode(round.data(), round.size());
        if (!back || back->size() != length || (length > 0 && std::memcmp(back->data(), input, length) != 0)) __builtin_trap();
        break;
    }
    }
    return 0;
}
