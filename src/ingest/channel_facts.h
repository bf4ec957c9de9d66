#pragma once
// What a channel's stream carries (programs, codecs, picture sizes, bitrate), read from the
// last slots of its ring without waiting on the writer, or for a folder channel from the file
// playing now; and the source check: a source written as channel_definition.xml writes it,
// opened for at most kCheckSourceMs to read the same facts. A source that a configured channel
// uses already (the same text) is read from that channel instead of being opened again.

#include "channels/channel_table.h"
#include "media/stream_facts.h"

#include <cstdint>
#include <string>
#include <string_view>

constexpr int kCheckSourceMs = 5000;
// A check stops early once the facts are complete and this much of the stream was measured.
constexpr int kCheckMeasureMs = 1000;
// The ring slots a channel's facts are read from, counted back from the writer; and the most
// of a folder's file read for them.
constexpr int32_t kFactsRingSlots = 900;
constexpr int64_t kFactsFileBytes = 4 << 20;

struct SourceFacts {
    bool        ts = false;            // transport-stream packets came
    int64_t     bitrate = 0;           // bit/s; 0 when unknown
    StreamFacts stream;
    std::string error;                 // why a check found nothing ("no data within 5 s", ...)
};

// The kind of a channel's source as people name it: "UDP", "RTP", "HTTP", "RTSP", "RTMP",
// "DVB" or "folder" ("none" without a usable source).
const char* ChannelKindName(const ChannelRecord& channel);
// The facts of channel index (0-based) of table, from its ring (the multiplex's ring for a DVB
// program) or its folder. Never waits for the writer.
SourceFacts ReadChannelFacts(const ChannelTable& table, int32_t index);

// Checks a source; 0 with facts filled, or 1 with facts.error: "busy" (another check runs),
// "bad source", "not checked for this kind" (not a stream), "port in use by channel <N>"
// (another group or kind on a channel's datagram port), "no data within 5 s",
// "not a transport stream", or "HTTP source answered <status>". One check at a time; it ends
// early when the process stops.
int CheckSource(std::string_view source, SourceFacts& facts);
