#pragma once
// Reads the PAT and PMTs of a DVB multiplex from the parent channel's ring and fills the
// program fields of the parent and its sub-channels.

#include "channels/channel_table.h"

#include <cstdint>
#include <memory>

struct DvbParserArgs {
    std::shared_ptr<ChannelTable> table;
    std::shared_ptr<RealBuffer>   buffer;
    int32_t                       parent_index;
};

// Takes ownership of a DvbParserArgs allocated with new.
int32_t DVB_Table_Parser_Thread(void* args);

// Parses one 188-byte packet into the table; returns true when every program of the PAT
// has its PMT. state carries what the walk has seen so far.
struct DvbParserState {
    bool pat_seen = false;
    int  programs = 0;
    int  parsed   = 0;
};
bool parse_dvb_packet(const uint8_t* packet, ChannelTable& table, int32_t parent_index, DvbParserState& state);
