#pragma once
// The figures the metrics and status documents are made of, read once per document: the
// process, the current viewers and each channel's input.

#include <cstdint>
#include <string>
#include <vector>

struct ViewerRow {
    std::string client;
    std::string user;
    std::string film;                              // the file watched when no channel
    int         channel = 0;                       // from 1; 0 for a film
    const char* protocol = "http";
    uint64_t    seconds = 0;
    uint64_t    bytes_sent = 0;
};

struct ProcessFigures {
    double   cpu_seconds = 0;
    uint64_t resident_bytes = 0;
    int64_t  threads = 0;
    int64_t  open_fds = 0;
};

struct ChannelFigures {
    int         number = 0;
    std::string name;
    const char* kind = "";                         // "UDP", "TS folder", ...: the source's kind
    bool        has_health = false;
    uint64_t    bitrate = 0, datagrams = 0, bytes = 0, cc_errors = 0, rtp_gaps = 0, pcr_jumps = 0;
    uint64_t    recorder_bytes = 0, recorder_errors = 0;
    bool        signal = false, pcr = false;
    double      silence_seconds = -1;            // -1: nothing received yet
    int         http = 0, rtsp = 0, hls = 0, multicast = 0;
    // Folder channels play by the clock whether anyone watches or not: the file playing now
    // and its bitrate (bit/s). Not playing: the folder has no file of known length.
    bool        folder = false, playing = false;
    std::string file;
    uint64_t    file_bitrate = 0;
    // A channel with backup sources: how many it has in all, the one feeding it now (from 1;
    // 0 while none has) and how often it changed source.
    int         sources = 1;
    int         active_source = 0;
    uint64_t    source_switches = 0;
};

ProcessFigures ReadProcessFigures();
// Every streaming connection of the player list (set-top boxes' registrations aside) and
// every playing RTSP session, each once.
std::vector<ViewerRow> CollectViewers(uint64_t now_ms);
std::vector<ChannelFigures> CollectChannels(uint64_t now_ms, const std::vector<ViewerRow>& viewers);
// Whether channels are also sent to multicast groups.
bool MulticastOn();
