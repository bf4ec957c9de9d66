#pragma once
// The recorders a channel's data thread starts on its ring: the time-shift file that is
// rewound every "iptv_time_shift_record_duration" seconds, and the TV-on-demand archive of one
// file per period (the first one ending on the hour).

#include "channels/archive.h"
#include "channels/channel_table.h"
#include "core/threads.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

// Starts the recorders the configuration asks for on the channel's ring: time-shift when
// "iptv_time_shift_record_duration" is above 10; TV-on-demand when allowed, the channel has a
// recording folder and "tv_on_demand_record_duration" is above 0. Started threads go to
// `started`.
void StartRecorders(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<RealBuffer>& buffer,
                    bool tv_on_demand_allowed, std::vector<ThreadRecord*>& started);
// Whether StartRecorders (with TV-on-demand allowed) starts any recorder on this channel.
bool StartsRecorders(const ChannelRecord& channel);
// The recorders of each program of a DVB multiplex (the parent's and those of the channels
// that follow it as its further programs), each keeping only its program's packets: a file
// per program, as a viewer of the program gets it.
void StartProgramRecorders(const ChannelTable& table, int32_t parent_index, const std::shared_ptr<RealBuffer>& buffer,
                           std::vector<ThreadRecord*>& started);
// Joins them when the data thread ends (they also end by themselves on the reader stop flag).
void StopRecorders(std::vector<ThreadRecord*>& started);

int32_t TimeShiftRecorder(void* args);
int32_t Time_Shift_Time_Out_Thread(void* args);
int32_t TV_On_Demand_Thread(void* args);

// "timeshift/time_shift_ch[N]" for 1-based channel N.
std::string TimeShiftFileName(int channel_number);
// "tv_program_archive/<folder>/%d_%02d_%02d_%02d_%02d.ts" for the start time.
std::string ArchiveFileName(const char* rec_folder, const std::tm& start);
// Whether the archive file started at `start` is finished at `now`: the first file of a
// recorder at the full hour, later files after more than duration_minutes whole minutes
// (across midnight too).
bool ArchiveFileFinished(bool first_file, const std::tm& start, const std::tm& now, int duration_minutes);
