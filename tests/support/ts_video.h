#pragma once
// Synthetic H.264 video in a transport stream for tests: 25 pictures a second, a key picture
// every second, on the PIDs of TsBuilder's default PMT.

#include <cstdint>
#include <vector>

constexpr uint16_t kTestVideoPid = 0x101;
constexpr uint16_t kTestAudioPid = 0x102;

// How a key picture is marked.
enum class Mark { kIdr, kPlain, kRandomAccessOnly, kIdrInSecondPacket };

// One picture of 25 fps video (PTS step 3600) in two packets, then an audio packet. A key
// picture is an IDR slice behind an access unit delimiter, found where `mark` says.
void AddPicture(std::vector<uint8_t>& out, int64_t pts, Mark mark);

// `seconds` of stream, a key picture every second; tables_at_keys: the PAT and PMT go out just
// before each key picture (otherwise only once, at the start). plain_lead pictures that are
// not key pictures come first.
std::vector<uint8_t> Stream(int seconds, bool tables_at_keys, Mark key_mark = Mark::kIdr, int plain_lead = 0);

// Video as a broadcaster sends it: the PAT and PMT every table_every pictures, a key picture
// every 25th, with or without the tables right before it. No PCR.
std::vector<uint8_t> PeriodicTablesStream(int pictures, bool tables_at_keys, int table_every = 10);
