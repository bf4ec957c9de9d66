#pragma once
// Bitrate and duration of stored video files, read from the few bytes that carry them:
// the ASF header, the MP4 movie header, or the first and last video PTS of a transport stream.
// No probe reads more than 4 MiB of a file: from its start, from its end, or as its header.
// probe_bitrate_kbps and mp4_duration_seconds remember their result per version of a file
// (path, inode, size, times; up to 256 files), so repeated calls do not read it again and a
// changed file is probed anew. The probes' log lines appear only when a file is read.

#include <cstdint>

// kbit/s (1 kbit/s = 1000 bit/s) by the first matching name part: ".wmv" ASF; ".mp4", ".MP4",
// ".mov", ".MOV", ".3gp", ".3GP", ".3g2", ".3G2" MP4; ".ts" transport stream; else 1024.
int32_t probe_bitrate_kbps(const char* path);
// Maximum bitrate of the File Properties Object; 0 when not recognised.
int32_t asf_bitrate_kbps(const char* path);
// Size over the movie header's duration; 0 when there is no usable duration.
int32_t mp4_bitrate_kbps(const char* path);
// Size over the span of the first and last video PTS. 1000 cannot be opened, too short or
// no video PTS near the start, -1 empty, 1024 not a transport stream or no usable span
// (also no second PTS near the end).
int32_t ts_bitrate_kbps(const char* path);
// Duration of the movie header in seconds; 0 when missing (near the start or end) or unusable.
double mp4_duration_seconds(const char* path);
// Whole seconds at the probed bitrate (125 bytes per second per kbit/s); 0 when unknown.
int64_t vod_duration_seconds(const char* path);
