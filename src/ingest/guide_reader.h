#pragma once
// The thread that fills the programme guide. It reads the DVB event tables (PID 0x12) that the
// channels' streams carry, from their rings, and the operator's XMLTV files in "epg/", read at
// start and again once one of them changed (looked at every "epg_poll_seconds", 60 by default).
//
// Which channel an event table's event belongs to: on a DVB multiplex, the program whose
// number is the event's service id; on any other ring, the channel itself when the service id
// is its stream's first program. Events that come before the stream's programs are known are
// taken when they are repeated.
// Which channel an XMLTV channel id names: the channel whose number (the M3U list's tvg-id) is
// the id; else the one whose name is the id; else the one whose name is one of the XMLTV
// channel's display names (names compared without regard to the case of ASCII letters).

#include "channels/channel_table.h"
#include "channels/xmltv.h"

#include <atomic>
#include <cstdint>
#include <string>

// The folder of the operator's XMLTV files.
constexpr const char* kGuideFolder = "epg";
// Files above this size are not read.
constexpr int64_t kGuideFileMaxBytes = 64 << 20;

// Ends the thread (also the process stop does); set to 0 before starting it.
extern std::atomic<int32_t> g_guide_reader_stop;
int32_t GuideReaderThread(void* args);

// The channel number (1-based) an XMLTV channel names; 0 for none.
int ChannelOfXmltvChannel(const ChannelTable& table, const XmltvChannel& channel);
