#include "ingest/dvb_parser.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "media/ts_timing.h"

#include <cstring>

// The section of a table packet: after the header, any adaptation field and the pointer field.
static const uint8_t* SectionOf(const uint8_t* packet, int& room)
{
    int at = 4;
    if (packet[3] & 0x20) at += 1 + packet[4];
    at += 1;                                              // pointer field, taken as 0
    room = kTsPacketSize - at;
    return room > 0 ? packet + at : nullptr;
}

// The source record that program k of the parent's PAT fills: the parent's own for k = 0,
// else that of the channel k places on while it is still one of the parent's sub-channels.
// nullptr past the last of them, where the next, unrelated channels begin.
static SourceRecord* ProgramSource(ChannelTable& table, int32_t parent_index, int k)
{
    const int32_t target = parent_index + k;
    if (parent_index < 0 || target >= table.Count()) return nullptr;
    SourceRecord* source = table.channels[static_cast<std::size_t>(target)]->FirstSource();
    if (source == nullptr || k == 0) return source;
    return source->dvb_sub != 0 && source->dvb_parent == parent_index ? source : nullptr;
}

bool parse_dvb_packet(const uint8_t* packet, ChannelTable& table, int32_t parent_index, DvbParserState& state)
{
    if (packet[0] != kTsSyncByte) return false;
    TsPacketHeader header;
    const uint16_t pid = parse_ts_header(packet, header);
    int room = 0;
    const uint8_t* section = SectionOf(packet, room);
    if (section == nullptr || room < 3) return false;
    const int section_length = section[2];
    // A section longer than the packet holds is read only as far as the packet goes.
    const int usable = room;

    if (pid == 0) {
        int k = 0;
        for (int walked = 0; walked < section_length - 9 && 8 + walked + 4 <= usable; walked += 4) {
            const uint8_t* entry = section + 8 + walked;
            const uint16_t number = static_cast<uint16_t>((entry[0] << 8) | entry[1]);
            if (number == 0) continue;
            const uint16_t pmt = static_cast<uint16_t>(((entry[2] << 8) | entry[3]) & 0x1FFF);
            if (pmt == 0x1FFF) break;
            // Programs beyond the parent and its sub-channels have nowhere to go and are not
            // counted: no PMT is awaited for them.
            SourceRecord* source = ProgramSource(table, parent_index, k);
            if (source == nullptr) break;
            source->program_number.store(number);
            source->pmt_pid.store(pmt);
            ++k;
        }
        state.programs = k;
        state.pat_seen = true;
        LogSystemMessage("Total Program no =[%d]\n", k);
        return state.programs > 0 && state.parsed >= state.programs;
    }
    if (!state.pat_seen) return false;
    for (int k = 0; k < state.programs; ++k) {
        SourceRecord* source = ProgramSource(table, parent_index, k);
        if (source == nullptr || source->pmt_pid.load() != pid || source->stream_count.load() != 0) continue;
        if (usable < 12) return false;
        source->pcr_pid.store(static_cast<uint16_t>(((section[8] << 8) | section[9]) & 0x1FFF));
        source->source_type.store(10);
        const int info_length = section[11];
        int count = 0;
        int at = 12 + info_length;
        for (int walked = 0; walked < section_length - info_length - 13 && at + 5 <= usable; ++count) {
            const uint8_t* entry = section + at;
            const uint8_t type = entry[0];
            const uint16_t elementary = static_cast<uint16_t>(((entry[1] << 8) | entry[2]) & 0x1FFF);
            const int es_info = ((entry[3] << 8) | entry[4]) & 0x0FFF;
            if (count < kMaxDvbStreams) source->streams[count] = {type, elementary};
            LogSystemMessage("PMT ID=[%d], Stream no=[%d],Stream type=[%d], Stream ID=[%d], Des_Length=[%d]\n", pid, count,
                             type, elementary, es_info);
            if (type == 2) source->video_pid.store(elementary);
            walked += 5 + es_info;
            at += 5 + es_info;
        }
        // A PMT without streams still counts as parsed.
        source->stream_count.store(count > 0 ? (count < kMaxDvbStreams ? count : kMaxDvbStreams) : -1);
        ++state.parsed;
        break;
    }
    return state.parsed >= state.programs && state.programs > 0;
}

int32_t DVB_Table_Parser_Thread(void* raw)
{
    {
        std::unique_ptr<DvbParserArgs> args(static_cast<DvbParserArgs*>(raw));
        LogSystemMessage("DVB_Table_Parser_Thread: Starting\n");
        DvbParserState state;
        int32_t index = 0;
        bool finished = false;
        uint8_t slot[kRingSlotSize];
        while (g_channel_reader_stop.load() == 0 && !finished) {
            RealBufferSlot& source = args->buffer->slots[index];
            int length = 0;
            {
                ScopedLock held(args->buffer->buffer_lock);
                length = source.length.load();
                if (length > kRingSlotSize) length = kRingSlotSize;
                if (length > 0) std::memcpy(slot, source.data, static_cast<std::size_t>(length));
            }
            for (int at = 0; at + kTsPacketSize <= length && !finished; at += kTsPacketSize)
                finished = parse_dvb_packet(slot + at, *args->table, args->parent_index, state);
            index = (index + 1) % kRingSlots;
            SleepMs(1);
        }
        if (finished) LogSystemMessage("Finished filled the PMT Table\n");
        LogSystemMessage("DVB_Table_Parser_Thread: Closed\n");
    }
    EndThread();
}
