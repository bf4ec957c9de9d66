#include "stream/directory_stream.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "media/mp4_remux.h"
#include "media/ts_cutter.h"
#include "media/ts_timing.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBlockSize = kLiveBlockSize;

// A file read 32 blocks at a time and handed out a block (1316 bytes; the last of the file may
// be shorter) at a time: the blocks of a read per block, with a thirty-second of the reads.
class FileBlocks {
public:
    FileBlocks(int fd, const char* thread_name)
        : fd_(fd), thread_name_(thread_name), buffer_(static_cast<std::size_t>(kBlockSize) * 32) {}
    // The next block; 0 at the end of the file, -1 (failed set) on a read error.
    ssize_t Next(const uint8_t*& block, bool& failed)
    {
        if (at_ >= length_) {
            const ssize_t got = read(fd_, buffer_.data(), buffer_.size());
            if (got == 0) LogSystemMessage("%s 0: END of FILE\n", thread_name_);
            if (got < 0) {
                LogSystemMessage("%s 1: errorno is [%d]\n", thread_name_, errno);
                failed = true;
            }
            if (got <= 0) return got;
            length_ = got;
            at_ = 0;
        }
        block = buffer_.data() + at_;
        const ssize_t size = std::min<ssize_t>(kBlockSize, length_ - at_);
        at_ += size;
        return size;
    }

private:
    int                  fd_;
    const char*          thread_name_;
    std::vector<uint8_t> buffer_;
    ssize_t              length_ = 0;
    ssize_t              at_ = 0;
};

// How far after a joining viewer's position a key picture is looked for.
constexpr std::size_t kKeyFrameLookBytes = std::size_t{3} << 20;

// Where in the file, within kKeyFrameLookBytes after position, the first PAT comes that a key
// picture follows: a viewer that starts there shows a picture at once. -1 when none does.
int64_t KeyFrameStartAfter(int fd, int64_t position)
{
    std::vector<uint8_t> window(kKeyFrameLookBytes);
    const ssize_t got = pread(fd, window.data(), window.size(), static_cast<off_t>(position));
    if (got <= 0) return -1;
    const int64_t at = FindKeyFrameStart(window.data(), static_cast<std::size_t>(got));
    return at < 0 ? -1 : position + at;
}

// Reads until the first PAT after the file's position and sends it (the packet, or the chunk
// it starts). 1: sent; 0: the file ended first; -1: the stream must end.
int SendFirstPat(const DirectoryViewer& viewer, FramedBatch& batch, int fd)
{
    const int number = viewer.thread_number;
    const int channel_number = viewer.channel_number;
    const char* name = viewer.thread_name;
    const int unit = viewer.pat_by_chunk ? kBlockSize : kTsPacketSize;
    uint8_t chunk[kBlockSize];
    bool first = true;
    while (!viewer.stopped()) {
        const ssize_t got = read(fd, chunk, static_cast<std::size_t>(unit));
        if (got < kTsPacketSize) {
            LogSystemMessage("Thread[%d]: %s (CH no.[%d] PAT Not Found in the EOF)\n", number, name, channel_number);
            return 0;
        }
        // Packets read one by one must each start in step; a chunk's first is checked once.
        if ((first || !viewer.pat_by_chunk) && chunk[0] != kTsSyncByte) {
            LogSystemMessage("Thread[%d]: %s (CH no.[%d] No Sync Data)\n", number, name, channel_number);
            return -1;
        }
        first = false;
        if (!is_pat(chunk)) continue;
        if (!batch.Add(chunk, static_cast<int>(got)) || !batch.Flush()) {
            if (batch.send_failed()) LogSystemMessage("%s PAT: iret=[%d] errorno is [%d]\n", name, -1, batch.send_errno());
            return -1;
        }
        LogSystemMessage("Thread[%d]: %s (CH no.[%d] PAT Found)\n", number, name, channel_number);
        return 1;
    }
    return -1;
}

}  // namespace

std::vector<PlaylistEntry> DirectoryPlaylist(const ChannelRecord& channel)
{
    std::vector<PlaylistEntry> entries;
    for (const auto& source : channel.sources) entries.push_back(source->file);
    return entries;
}

FramedBatch::FramedBatch(std::function<bool(const uint8_t*, int)> send, LiveFraming* framing)
    : framing_(framing), batch_([this, send = std::move(send)](const uint8_t* data, int length) {
          return send(data, length) || Failed();
      })
{
    if (framing_ != nullptr) framed_.resize(static_cast<std::size_t>(kBlockSize + framing_->overhead()));
}

bool FramedBatch::Add(const uint8_t* block, int length)
{
    if (framing_ == nullptr) return batch_.Add(block, length);
    length = std::min(length, kBlockSize);
    const int framed = framing_->Frame(block, length, framed_.data());
    if (framing_->datagrams()) return framing_->SendDatagram(framed_.data(), framed) || Failed();
    return batch_.Add(framed_.data(), framed);
}

bool FramedBatch::Failed()
{
    send_errno_ = errno != 0 ? errno : EIO;
    return false;
}

bool FramedBatch::AddSleep(int64_t ms)
{
    return batch_.AddSleep(ms);
}

bool FramedBatch::Flush()
{
    return batch_.Flush();
}

bool StreamFileBlocks(const char* thread_name, const std::function<bool()>& stopped, FramedBatch& batch, int fd,
                      const std::function<int64_t(const uint8_t*, int)>& pause_after, int64_t& streamed)
{
    bool read_failed = false;
    FileBlocks blocks(fd, thread_name);
    while (!stopped()) {
        const uint8_t* block = nullptr;
        const ssize_t got = blocks.Next(block, read_failed);
        if (got <= 0) break;
        const int length = static_cast<int>(got);
        streamed += length;
        if (!batch.Add(block, length) || !batch.AddSleep(pause_after(block, length))) return false;
    }
    // Whatever was read goes out, also before a read error ends the stream.
    if (!stopped() && !batch.Flush()) return false;
    return !read_failed;
}

void EmptyLapGuard::AfterFile(int64_t streamed)
{
    lap_bytes_ += streamed;
    if (++files_done_ < files_) return;
    if (lap_bytes_ == 0) SleepUnlessStopping(1000);
    files_done_ = 0;
    lap_bytes_ = 0;
}

namespace {

// Opens the file the playlist plays now; j names it, position is where in it the playlist
// stands. A transport-stream file's descriptor is moved on to the next key frame; an MP4
// file's is left as it is (its remuxer seeks by time). The descriptor, or -1.
int OpenAtNow(const ChannelTable& table, const ChannelRecord& channel, const DirectoryViewer& viewer,
              const std::vector<PlaylistEntry>& files, const std::vector<bool>& mp4, std::size_t& j, int64_t& position)
{
    const int number = viewer.thread_number;
    const char* name = viewer.thread_name;
    int index = 0;
    position = 0;
    const int fd = find_playlist_position(table.load_tick, static_cast<int64_t>(channel.total_duration), files.data(),
                                          static_cast<int>(files.size()), index, position);
    if (fd < 0) {
        LogSystemMessage("Thread[%d]: %s (IPTV find correct position failed)\n", number, name);
        return -1;
    }
    j = static_cast<std::size_t>(index);
    LogSystemMessage("Thread[%d]: %s (CH no.[%d], filename=[%s])\n", number, name, viewer.channel_number, files[j].path);
    LogSystemMessage("sbFile_Postion=%" PRId64 "\n", position);
    if (mp4[j]) return fd;
    const int64_t key_frame = KeyFrameStartAfter(fd, position);
    if (key_frame > position) position = key_frame;
    if (lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0) {
        LogSystemMessage("Thread[%d]: %s (CH no.[%d] Seek failed)\n", number, name, viewer.channel_number);
        close(fd);
        return -1;
    }
    return fd;
}

// The PCR pace of a directory channel: each file's first PCR starts its clock; the burst
// and the sleep carried run on across the files.
class DirectoryPace {
public:
    explicit DirectoryPace(const DirectoryViewer& viewer) : viewer_(viewer) {}
    void NewFile()
    {
        first_pcr_ = true;
        first_time_ = 0;
        previous_ = 0;
        if (viewer_.clock) viewer_.clock(0, 0);
    }
    // The sleep after a block: the first PCR of the block paces it.
    int64_t Next(const uint8_t* block, int length)
    {
        for (int at = 0; at + kTsPacketSize <= length; at += kTsPacketSize) {
            int64_t pcr = 0;
            if (block[at] != kTsSyncByte || !extract_pcr(block + at, pcr)) continue;
            const double t = static_cast<double>(pcr) / static_cast<double>(kPcrTicksPerSecond);
            if (first_pcr_) {
                LogSystemMessage("Video first time=[%5.3f]\n", t);
                first_time_ = t;
                previous_ = t;
                first_pcr_ = false;
            }
            const double interval = t - previous_;
            previous_ = t;
            if (viewer_.clock) viewer_.clock(first_time_, t);
            if (burst_.Take()) return 0;
            return sleep_.NextMs(interval);
        }
        return 0;
    }

private:
    const DirectoryViewer& viewer_;
    StartBurst             burst_;
    PcrSleepCarry          sleep_;
    double                 first_time_ = 0;
    double                 previous_ = 0;
    bool                   first_pcr_ = true;
};

// A viewer's MP4 files, remuxed into its stream and paced by the PCRs the muxer writes, as
// transport-stream files are; one muxer for the whole stream, so that its continuity counters
// run on across the files.
class Mp4Playback {
public:
    Mp4Playback(const DirectoryViewer& viewer, FramedBatch& batch, DirectoryPace& pace, std::size_t files)
        : viewer_(viewer), batch_(batch), logged_(files, false),
          remuxer_([this, &pace](const uint8_t* block, int size) {
              if (failed_ || viewer_.stopped()) return;
              *streamed_ += size;
              if (!batch_.Add(block, size) || !batch_.AddSleep(pace.Next(block, size))) failed_ = true;
          })
    {
    }
    // Plays file j (fd open on it) from its start, or, for a joining viewer, from the key frame
    // at or before where position (a byte offset of the file's size) stands in its time. A
    // file that cannot be played is logged the first time and gives nothing. True at its end
    // or a stop; false when the stream must end (a send failed).
    bool Play(int fd, const PlaylistEntry& file, std::size_t j, int64_t position, int64_t& streamed)
    {
        std::string error;
        if (!remuxer_.Open(fd, error)) {
            if (!logged_[j]) LogSystemMessage("[%s] cannot be played: %s\n", file.path, error.c_str());
            logged_[j] = true;
            return true;
        }
        if (position > 0 && file.size > 0) {
            const double share = std::min(1.0, static_cast<double>(position) / static_cast<double>(file.size));
            remuxer_.Seek(static_cast<int64_t>(share * static_cast<double>(remuxer_.duration90k())));
        }
        streamed_ = &streamed;
        while (!viewer_.stopped() && !failed_ && remuxer_.WriteNext()) {
        }
        remuxer_.Finish();
        streamed_ = &unused_;
        if (failed_) return false;
        return viewer_.stopped() || batch_.Flush();
    }
    // A transport-stream file went out between two MP4 files.
    void Interrupt() { remuxer_.Interrupt(); }

private:
    const DirectoryViewer& viewer_;
    FramedBatch&           batch_;
    std::vector<bool>      logged_;
    bool                   failed_ = false;
    int64_t                unused_ = 0;
    int64_t*               streamed_ = &unused_;
    Mp4Remuxer             remuxer_;
};

// Where a joining viewer starts: the file the playlist plays now, a transport-stream file
// from its first PAT after the playlist's position (its next file when none comes), an MP4
// file from the position's time. The descriptor (-1: when the stream must end; also -1 with
// true when the next file is to be opened), j and the MP4 position.
int JoinNow(const ChannelTable& table, const ChannelRecord& channel, const DirectoryViewer& viewer,
            const std::vector<PlaylistEntry>& files, const std::vector<bool>& mp4, FramedBatch& batch,
            EmptyLapGuard& empty_laps, std::size_t& j, int64_t& position, bool& ended)
{
    ended = true;
    const int fd = OpenAtNow(table, channel, viewer, files, mp4, j, position);
    if (fd < 0) return -1;
    if (mp4[j]) {
        ended = false;
        return fd;
    }
    position = -1;
    const int pat = SendFirstPat(viewer, batch, fd);
    if (pat < 0) {
        close(fd);
        return -1;
    }
    ended = false;
    if (pat > 0) return fd;
    // No PAT after the position: carry on with the next file.
    close(fd);
    empty_laps.AfterFile(0);
    j = (j + 1) % files.size();
    return -1;
}

}  // namespace

void StreamTsDirectory(const ChannelTable& table, const ChannelRecord& channel, const DirectoryViewer& viewer)
{
    const int number = viewer.thread_number;
    const int channel_number = viewer.channel_number;
    const char* name = viewer.thread_name;
    const std::vector<PlaylistEntry> files = DirectoryPlaylist(channel);
    if (files.empty()) return;
    std::vector<bool> mp4;
    for (const auto& source : channel.sources) mp4.push_back(source->kind == kSourceMp4File);
    // One batch for the whole stream: the sleep still owed at the end of a file carries over.
    FramedBatch batch(viewer.send, viewer.framing);
    EmptyLapGuard empty_laps(files.size());
    std::size_t j = 0;
    int64_t position = -1;
    bool ended = false;
    int fd = JoinNow(table, channel, viewer, files, mp4, batch, empty_laps, j, position, ended);
    if (ended) return;

    DirectoryPace pace(viewer);
    Mp4Playback mp4_files(viewer, batch, pace, files.size());
    while (!viewer.stopped()) {
        const char* path = files[j].path;
        if (fd < 0) {
            fd = open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                LogSystemMessage("[%s] open failed\n", path);
                return;
            }
        }
        if (viewer.starting_names_file)
            LogSystemMessage("Thread[%d]: %s Starting (CH no.[%d], filename=[%s]\n", number, name, channel_number, path);
        else
            LogSystemMessage("Thread[%d]: %s Starting (CH no.[%d])\n", number, name, channel_number);
        pace.NewFile();
        int64_t streamed = 0;
        bool ok = true;
        if (mp4[j]) {
            ok = mp4_files.Play(fd, files[j], j, position, streamed);
        } else {
            ok = StreamFileBlocks(name, viewer.stopped, batch, fd,
                                  [&](const uint8_t* block, int length) { return pace.Next(block, length); }, streamed);
            mp4_files.Interrupt();
        }
        position = -1;
        if (!ok && batch.send_failed()) LogSystemMessage("%s : iret=[%d] errorno is [%d]\n", name, -1, batch.send_errno());
        empty_laps.AfterFile(streamed);
        close(fd);
        fd = -1;
        LogSystemMessage("Thread[%d]: %s Close (CH no.[%d], filename=[%s])\n", number, name, channel_number, path);
        if (!ok) return;
        j = (j + 1) % files.size();
        LogSystemMessage("j=[%d]\n", static_cast<int>(j));
    }
    if (fd >= 0) close(fd);
}
