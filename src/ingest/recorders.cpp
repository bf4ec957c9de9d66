#include "ingest/recorders.h"

#include "channels/source_table.h"
#include "core/config.h"
#include "core/locks.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "ingest/dvb_program_filter.h"
#include "ingest/input_health.h"
#include "ingest/real_buffer.h"
#include "media/ts_packet.h"

#include <cerrno>
#include <string_view>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Serialises the creation of archive folders and the opening of archive files.
CriticalSection g_archive_lock;

// A caught-up recorder looks again after this long; the ring holds seconds of slack, and a
// shorter nap costs a wake-up per recorder per millisecond.
constexpr uint32_t kRecorderNapMs = 100;

struct RecorderArgs {
    ChannelRecord*              channel;           // the channel recorded
    ChannelRecord*              ring_channel;      // whose ring is read: a DVB program's multiplex
    std::shared_ptr<RealBuffer> buffer;
    int32_t                     channel_number;    // 1-based, of the channel recorded
    bool                        rtp;               // slots carry a 12-byte RTP header
    const SourceRecord*         program = nullptr; // a DVB program: only its packets are kept
    std::atomic<int32_t>*       rewind = nullptr;  // the time-shift timer's flag
};

bool Stopping() { return g_channel_reader_stop.load() != 0; }

// The slots from r up to the writer (not across the ring's end, at most 64) as write parts;
// skip bytes are dropped from the start of each slot. Returns the part count; r_end receives
// the index after the last slot taken.
int CollectSlots(const RecorderArgs& args, int32_t r, int skip, iovec (&parts)[64], int32_t& r_end, std::size_t& bytes)
{
    const int32_t input = args.ring_channel->input_index.load(std::memory_order_acquire);
    int count = 0;
    bytes = 0;
    int32_t at = r;
    while (at != input && count < 64) {
        RealBufferSlot& slot = args.buffer->slots[at];
        const int32_t length = slot.length.load(std::memory_order_acquire);
        if (length > skip) {
            parts[count].iov_base = slot.data + skip;
            parts[count].iov_len  = static_cast<std::size_t>(length - skip);
            bytes += parts[count].iov_len;
            ++count;
        }
        at = (at + 1) % kRingSlots;
        if (at == 0) break;                        // one call never wraps the ring
    }
    r_end = at;
    return count;
}

// Writes all parts, completing short writes. Returns false on an error (errno kept).
bool WriteParts(int fd, iovec* parts, int count)
{
    while (count > 0) {
        const ssize_t written = writev(fd, parts, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        std::size_t left = static_cast<std::size_t>(written);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

// What a recorder writes of the slots it collected: the slots themselves, or only one DVB
// program's packets out of them, from its first key picture on (nothing before the table
// parser has named the program).
class ProgramCut {
public:
    explicit ProgramCut(const SourceRecord* program) : program_(program) {}
    // Replaces the parts with what is written; returns the new part count (bytes updated).
    int Cut(iovec (&parts)[64], int count, std::size_t& bytes);

private:
    void Keep(const uint8_t* packet, DvbProgramFilter::Verdict verdict);
    const SourceRecord*             program_;
    std::optional<DvbProgramFilter> filter_;
    std::optional<DvbKeyGate>       gate_;      // a recording starts at a key picture
    std::vector<uint8_t>            kept_;
};

void ProgramCut::Keep(const uint8_t* packet, DvbProgramFilter::Verdict verdict)
{
    if (gate_->open()) {
        kept_.insert(kept_.end(), packet, packet + kTsPacketSize);
    } else if (gate_->Hold(packet, verdict)) {
        const std::string& released = gate_->released();
        kept_.insert(kept_.end(), released.begin(), released.end());
    }
}

int ProgramCut::Cut(iovec (&parts)[64], int count, std::size_t& bytes)
{
    if (program_ == nullptr) return count;
    bytes = 0;
    if (!filter_) {
        if (program_->program_number.load() == 0) return 0;
        filter_.emplace(*program_);
        gate_.emplace(filter_->pmt_pid());
    }
    kept_.clear();
    uint8_t packet[kTsPacketSize];
    for (int i = 0; i < count; ++i) {
        filter_->Refresh();
        const auto* data = static_cast<const uint8_t*>(parts[i].iov_base);
        for (std::size_t at = 0; at + kTsPacketSize <= parts[i].iov_len; at += kTsPacketSize) {
            std::memcpy(packet, data + at, kTsPacketSize);
            const DvbProgramFilter::Verdict verdict = filter_->Pass(packet);
            if (verdict != DvbProgramFilter::Verdict::kDrop) Keep(packet, verdict);
        }
    }
    bytes = kept_.size();
    if (bytes == 0) return 0;
    parts[0].iov_base = kept_.data();
    parts[0].iov_len  = bytes;
    return 1;
}

}  // namespace

std::string TimeShiftFileName(int channel_number)
{
    return "timeshift/time_shift_ch[" + std::to_string(channel_number) + "]";
}

std::string ArchiveFileName(const char* rec_folder, const std::tm& start)
{
    char name[600];
    std::snprintf(name, sizeof name, "%s/%s/%d_%02d_%02d_%02d_%02d.ts", "tv_program_archive", rec_folder,
                  start.tm_year + 1900, start.tm_mon + 1, start.tm_mday, start.tm_hour, start.tm_min);
    return name;
}

bool ArchiveFileFinished(bool first_file, const std::tm& start, const std::tm& now, int duration_minutes)
{
    if (first_file) return now.tm_min == 0 && now.tm_sec == 0;
    const int elapsed = ((now.tm_hour * 60 + now.tm_min) - (start.tm_hour * 60 + start.tm_min) + 1440) % 1440;
    return elapsed > duration_minutes;
}

int32_t Time_Shift_Time_Out_Thread(void* raw)
{
    {
        auto* args = static_cast<RecorderArgs*>(raw);
        int seconds = 0;
        while (!Stopping()) {
            SleepMs(1000);
            if (++seconds >= g_config.iptv_time_shift_record_duration) {
                args->rewind->store(1);
                seconds = 0;
            }
        }
        LogSystemMessage("Time_Shift_Time_Out_Thread Out\n");
    }
    EndThread();
}

int32_t TimeShiftRecorder(void* raw)
{
    {
        std::unique_ptr<RecorderArgs> args(static_cast<RecorderArgs*>(raw));
        ChannelRecord& channel = *args->channel;
        const int number = args->channel_number;
        std::atomic<int32_t> rewind{0};
        args->rewind = &rewind;
        ProgramCut cut(args->program);
        mkdir("timeshift", 0755);
        const std::string name = TimeShiftFileName(number);
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            LogSystemMessage("System Message: Channel [%d] Open Time Shift FIlename =[%s] Error\n", number, name.c_str());
        } else {
            LogSystemMessage("System Message: Channel [%d] Open Time Shift FIle : [%s]\n", number, name.c_str());
            int32_t r = args->ring_channel->time_index.load();
            if (Stopping()) {
                LogSystemMessage("System Message: Channel [%d] Stop receiving network video stream after receving immediately...\n",
                                 number);
            } else {
                channel.timeshift_bytes.store(0);
                auto* timer_args = new (std::nothrow) RecorderArgs(*args);
                ThreadRecord* timer = timer_args != nullptr ? StartThread(Time_Shift_Time_Out_Thread, timer_args, "TimeShiftTimer") : nullptr;
                iovec parts[64];
                while (!Stopping()) {
                    int32_t next = r;
                    std::size_t bytes = 0;
                    const int count = cut.Cut(parts, CollectSlots(*args, r, 0, parts, next, bytes), bytes);
                    release_read_slots(*args->ring_channel);
                    if (next == r) {
                        SleepMs(kRecorderNapMs);
                        continue;
                    }
                    // A failed write is not retried: the loop goes on.
                    if (count > 0) CountRecorderWrite(HealthOf(number - 1), WriteParts(fd, parts, count), bytes);
                    channel.timeshift_bytes.fetch_add(static_cast<int64_t>(bytes));
                    r = next;
                    if (rewind.load() == 1) {
                        LogSystemMessage("System Message: Channel [%d] Time Shift FIle=[%s] Seeks to 0 Position\n", number,
                                         name.c_str());
                        lseek(fd, 0, SEEK_SET);
                        rewind.store(0);
                        channel.timeshift_bytes.store(0);
                    }
                }
                if (timer != nullptr) StopThread(timer);
                delete timer_args;
            }
            LogSystemMessage("System Message: Channel [%d] Stop receiving network video stream...\n", number);
            close(fd);
        }
    }
    EndThread();
}

int32_t TV_On_Demand_Thread(void* raw)
{
    {
        std::unique_ptr<RecorderArgs> args(static_cast<RecorderArgs*>(raw));
        ChannelRecord& channel = *args->channel;
        const int number = args->channel_number;
        {
            ScopedLock held(g_archive_lock);
            mkdir("tv_program_archive", 0755);
            mkdir((std::string("tv_program_archive/") + channel.rec_folder).c_str(), 0755);
        }
        std::tm start = LocalTime();
        bool first_file = true;
        bool failing = false;
        ProgramCut cut(args->program);
        iovec parts[64];
        for (bool running = true; running;) {
            const std::string name = ArchiveFileName(channel.rec_folder, start);
            int fd;
            {
                ScopedLock held(g_archive_lock);
                LogSystemMessage("System Message: Channel [%d] Open TV On Demand File : [%s]\n", number, name.c_str());
                fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd < 0) LogSystemMessage("System Message: Channel [%d] Open TV On Demand File =[%s] Error\n", number, name.c_str());
                else MarkArchiveRecording(name, true);
            }
            if (fd < 0) break;
            int32_t r = args->ring_channel->time_index.load();
            for (;;) {
                if (Stopping()) {
                    close(fd);
                    MarkArchiveRecording(name, false);
                    LogSystemMessage("System Message: Channel [%d] Close TV On Demand File : [%s]\n", number, name.c_str());
                    LogSystemMessage("System Message: Channel [%d] Stop TV On Demand Server...\n", number);
                    running = false;
                    break;
                }
                int32_t next = r;
                std::size_t bytes = 0;
                const int collected = CollectSlots(*args, r, args->rtp ? kRtpHeaderSize : 0, parts, next, bytes);
                if (next == r) {
                    SleepMs(kRecorderNapMs);
                    continue;
                }
                const int count = cut.Cut(parts, collected, bytes);
                release_read_slots(*args->ring_channel);
                const bool written = count == 0 || WriteParts(fd, parts, count);
                if (count > 0) CountRecorderWrite(HealthOf(number - 1), written, bytes);
                if (!written) {
                    // A full disk: one line per episode, and the same slots again a second later.
                    if (!failing) {
                        LogSystemMessage("System Warning: TV_On_Demand_Thread: CH [%d] Record Filename: [%s] errno [%d]\n", number,
                                         name.c_str(), errno);
                    }
                    failing = true;
                    SleepMs(1000);
                    continue;
                }
                failing = false;
                r = next;
                const std::tm now = LocalTime();
                if (ArchiveFileFinished(first_file, start, now, g_config.tv_on_demand_record_duration)) {
                    start = now;
                    first_file = false;
                    close(fd);
                    MarkArchiveRecording(name, false);
                    LogSystemMessage("System Message: Channel [%d] Close TV On Demand File : [%s]\n", number, name.c_str());
                    break;
                }
            }
        }
    }
    EndThread();
}

namespace {

// Starts the recorders the configuration asks for with these arguments (rewind unset).
void StartRecordersOf(const RecorderArgs& proto, bool tv_on_demand_allowed, std::vector<ThreadRecord*>& started)
{
    const ChannelRecord& channel = *proto.channel;
    if (g_config.iptv_time_shift_record_duration > 10) {
        auto* args = new (std::nothrow) RecorderArgs(proto);
        ThreadRecord* thread = args != nullptr ? StartThread(TimeShiftRecorder, args, "TimeShift") : nullptr;
        if (thread != nullptr) started.push_back(thread);
        else delete args;
    }
    if (!tv_on_demand_allowed || channel.rec_folder[0] == '\0' || g_config.tv_on_demand_record_duration <= 0) return;
    if (!RecordingFolderIsSafe(channel.rec_folder)) {
        LogSystemMessage("CH [%d]: rec_folder [%s] leaves tv_program_archive: no TV-on-demand recording\n", proto.channel_number,
                         channel.rec_folder);
        return;
    }
    auto* args = new (std::nothrow) RecorderArgs(proto);
    ThreadRecord* thread = args != nullptr ? StartThread(TV_On_Demand_Thread, args, "TVOnDemand") : nullptr;
    if (thread != nullptr) started.push_back(thread);
    else delete args;
}

}  // namespace

void StartRecorders(ChannelRecord& channel, int32_t channel_index, const std::shared_ptr<RealBuffer>& buffer,
                    bool tv_on_demand_allowed, std::vector<ThreadRecord*>& started)
{
    if (channel.feed_health != nullptr) return;      // a source run for another channel records nothing
    const bool rtp = ChannelTraits(channel).layout == RingLayout::kRtpSlots;
    StartRecordersOf(RecorderArgs{&channel, &channel, buffer, channel_index + 1, rtp}, tv_on_demand_allowed, started);
}

bool StartsRecorders(const ChannelRecord& channel)
{
    if (channel.feed_health != nullptr) return false;
    if (g_config.iptv_time_shift_record_duration > 10) return true;
    return channel.rec_folder[0] != '\0' && g_config.tv_on_demand_record_duration > 0 && RecordingFolderIsSafe(channel.rec_folder);
}

void StartProgramRecorders(const ChannelTable& table, int32_t parent_index, const std::shared_ptr<RealBuffer>& buffer,
                           std::vector<ThreadRecord*>& started)
{
    ChannelRecord& parent = *table.channels[static_cast<std::size_t>(parent_index)];
    for (int32_t i = parent_index; i < table.Count(); ++i) {
        ChannelRecord& channel = *table.channels[static_cast<std::size_t>(i)];
        const SourceRecord* source = channel.FirstSource();
        if (source == nullptr || (i != parent_index && (source->dvb_sub == 0 || source->dvb_parent != parent_index))) break;
        RecorderArgs proto{&channel, &parent, buffer, i + 1, false};
        proto.program = source;
        StartRecordersOf(proto, true, started);
    }
}

void StopRecorders(std::vector<ThreadRecord*>& started)
{
    for (ThreadRecord* record : started) StopThread(record);
    started.clear();
}
