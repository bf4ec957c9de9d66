#pragma once
// What each source kind puts in its channel's ring and which outputs can serve it. Every
// output asks this table instead of deciding by kind on its own, so that they agree; what an
// output cannot serve it refuses with its usual answer and logs once per channel.

#include "channels/channel_table.h"

#include <cstdint>

// How a channel's ring (or folder) is read.
enum class RingLayout {
    kNone,          // nothing to read: no source, or a folder that could not be read
    kPackets,       // UDP: slots of whole transport-stream packets
    kRtpSlots,      // RTP: whole packets, each slot one RTP payload
    kByteStream,    // HTTP and RTSP pulls: a byte stream that needs realigning to packets
    kDvbProgram,    // one program of a DVB multiplex, read from the multiplex's ring
    kTsFolder,      // a folder of transport-stream files, played in a loop
    kMp4Folder,     // a folder of MP4 files, played in a loop
};

// The live outputs, one bit each.
enum LiveOutput : uint32_t {
    kOutputHttp      = 1u << 0,   // HTTP transport stream
    kOutputRtsp      = 1u << 1,   // RTSP live
    kOutputTimeShift = 1u << 2,   // RTSP time-shift of the recorded ring
    kOutputHls       = 1u << 3,   // HLS live playlist
    kOutputMulticast = 1u << 4,   // the multicast output
};

struct SourceTraits {
    int32_t     kind;
    RingLayout  layout;
    uint32_t    outputs;         // LiveOutput bits
    const char* name;            // for log lines: "RTMP", "DVB", ...
};

// The traits of a source kind (an unknown kind: layout kNone, no output).
const SourceTraits& TraitsOf(int32_t kind);
// The traits of a channel's first source (no source: layout kNone, no output).
const SourceTraits& ChannelTraits(const ChannelRecord& channel);
// Whether the channel's source can feed the output.
bool Feeds(const ChannelRecord& channel, LiveOutput output);
// The output's name in log lines ("HTTP", "RTSP", ...).
const char* OutputName(LiveOutput output);
// Logs, once per channel record and output, that the output does not serve the channel:
// "<who> : Channel [N], <kind> input is not served over <output>".
void LogRefusedOutput(ChannelRecord& channel, LiveOutput output, const char* who, int channel_number);
