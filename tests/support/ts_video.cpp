#include "support/ts_video.h"

#include "support/ts_builder.h"

#include <cstring>

void AddPicture(std::vector<uint8_t>& out, int64_t pts, Mark mark)
{
    std::vector<uint8_t> first = TsBuilder().VideoPes(kTestVideoPid, pts).Bytes();
    std::vector<uint8_t> second = TsBuilder().Payload(kTestVideoPid, 0xFF).Bytes();
    const uint8_t delimiter[] = {0, 0, 0, 1, 0x09, 0xF0};
    const uint8_t idr[] = {0, 0, 0, 1, 0x65, 0x88};
    const uint8_t slice[] = {0, 0, 0, 1, 0x41, 0x9A};
    std::memcpy(first.data() + 18, delimiter, sizeof delimiter);
    switch (mark) {
    case Mark::kIdr: std::memcpy(first.data() + 24, idr, sizeof idr); break;
    case Mark::kPlain: std::memcpy(first.data() + 24, slice, sizeof slice); break;
    case Mark::kIdrInSecondPacket: std::memcpy(second.data() + 4, idr, sizeof idr); break;
    case Mark::kRandomAccessOnly: {
        // An adaptation field with only the random-access indicator, the PES moved behind it.
        std::vector<uint8_t> flagged(188, 0xFF);
        std::memcpy(flagged.data(), first.data(), 4);
        flagged[3] = static_cast<uint8_t>((first[3] & 0xCF) | 0x30);
        flagged[4] = 1;
        flagged[5] = 0x40;
        std::memcpy(flagged.data() + 6, first.data() + 4, 188 - 6);
        first = flagged;
        break;
    }
    }
    out.insert(out.end(), first.begin(), first.end());
    out.insert(out.end(), second.begin(), second.end());
    const std::vector<uint8_t> audio = TsBuilder().Payload(kTestAudioPid, 0x11).Bytes();
    out.insert(out.end(), audio.begin(), audio.end());
}

std::vector<uint8_t> Stream(int seconds, bool tables_at_keys, Mark key_mark, int plain_lead)
{
    std::vector<uint8_t> out;
    const std::vector<uint8_t> tables = TsBuilder().Pat().Pmt().Bytes();
    if (!tables_at_keys) out.insert(out.end(), tables.begin(), tables.end());
    for (int frame = 0; frame < plain_lead; ++frame) AddPicture(out, frame * 3600, Mark::kPlain);
    for (int frame = 0; frame < seconds * 25; ++frame) {
        const int64_t pts = (plain_lead + frame) * 3600;
        const bool key = frame % 25 == 0;
        if (key && tables_at_keys) out.insert(out.end(), tables.begin(), tables.end());
        const std::vector<uint8_t> pcr = TsBuilder().Pcr(kTestVideoPid, pts * 300).Bytes();
        out.insert(out.end(), pcr.begin(), pcr.end());
        AddPicture(out, pts, key ? key_mark : Mark::kPlain);
    }
    return out;
}

std::vector<uint8_t> PeriodicTablesStream(int pictures, bool tables_at_keys, int table_every)
{
    std::vector<uint8_t> out;
    const std::vector<uint8_t> tables = TsBuilder().Pat().Pmt().Bytes();
    for (int frame = 0; frame < pictures; ++frame) {
        const bool key = frame % 25 == 0;
        if (frame % table_every == 0 || (key && tables_at_keys)) out.insert(out.end(), tables.begin(), tables.end());
        AddPicture(out, frame * 3600, key ? Mark::kIdr : Mark::kPlain);
    }
    return out;
}
