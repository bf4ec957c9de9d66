// Fuzz entry for the input health counting of received datagrams (transport-stream packets,
// RTP headers, PCRs), the splicing of another source's packets onto a stream, and the texts the metrics pages build from outside data (channel names,
// request heads). The first byte picks RTP or not and the metrics text; the rest is cut into
// datagrams, each preceded by a length byte.

#include "ingest/input_health.h"
#include "media/ts_splicer.h"
#include "server/metrics.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const bool rtp = (data[0] & 1) != 0;
    InputHealth& health = HealthOf(7);
    StartHealth(health);
    uint64_t now_ms = 1000;
    uint64_t datagrams = 0;
    for (size_t at = 1; at < size;) {
        const size_t length = static_cast<size_t>(data[at]) * 8 + 1;
        ++at;
        const size_t take = length < size - at ? length : size - at;
        CountDatagram(health, data + at, take, rtp, now_ms, (data[0] & 2) == 0);
        ++datagrams;
        at += take;
        now_ms += data[0] >> 2;
    }
    // Each datagram holds at most seven whole packets past its header; each counts one error
    // at most.
    if (health.datagrams.load() != datagrams || health.cc_errors.load() > datagrams * 11) std::abort();
    (void)InputBitrate(health, now_ms);

    // The same bytes as packets of a source switched to half-way: whatever passes is a whole
    // packet, and nothing passes before a PAT after the switch.
    TsSourceSplicer splicer;
    const size_t packets = (size - 1) / kTsPacketSize;
    bool pat_seen = false;
    for (size_t k = 0; k < packets; ++k) {
        if (k == packets / 2) {
            splicer.Switch(true);
            pat_seen = false;
        }
        splicer.Packet(data + 1 + k * kTsPacketSize, [&](const uint8_t* packet) {
            const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
            if (packet[0] != kTsSyncByte || (!pat_seen && pid != 0)) std::abort();
            pat_seen = pat_seen || (pid == 0 && !is_source_switch_mark(packet));
        });
    }

    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string json = JsonString(text);
    for (const char c : json)
        if (static_cast<unsigned char>(c) < 0x20) std::abort();
    const std::string label = PrometheusLabel(text);
    if (label.find('\n') != std::string::npos) std::abort();
    if ((data[0] & 4) != 0) (void)CheckMetricsAccess(text.c_str());
    return 0;
}
