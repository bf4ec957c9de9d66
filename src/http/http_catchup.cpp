#include "http/http_catchup.h"

#include "channels/archive.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/text.h"
#include "http/http_access.h"
#include "http/http_playlist.h"
#include "media/ts_file.h"
#include "stream/hls_segmenter.h"
#include "stream/pacing.h"
#include "users/usage_log.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kArchiveMaxAge = 60;          // a playlist of what is wholly recorded
constexpr int kEventMaxAge   = static_cast<int>(kArchivePartSeconds / 2);   // one still recorded: a player follows it
constexpr int kPartMaxAge    = 600;
constexpr int kKeySearchBytes = 4 << 20;     // a key picture comes within this much of any point
constexpr int kKeyDecideBytes = 64 << 10;    // past a picture's first packet, enough to tell a key picture

bool ServiceStopping() { return g_http_stop_state.load() != 0; }

// The start of the key picture at or before `seconds` into a file (its PAT): the last one
// before the first PCR of that second, looked for over kKeySearchBytes before it, or else the
// first one after it. -1 when the file does not hold it (yet). whole: the file is being
// written, and the answer must not change as it grows.
int64_t KeyStartAt(const ArchiveFile& file, const TsRing& ring, double seconds, bool whole, std::vector<uint8_t>& window)
{
    if (seconds >= file.seconds) return -1;
    int64_t at = 0;
    if (seconds > 0) {
        const int64_t wanted = file.first_pcr + static_cast<int64_t>(seconds * static_cast<double>(kPcrTicksPerSecond));
        const int64_t hint = static_cast<int64_t>(seconds / file.seconds * static_cast<double>(file.size));
        const SeekPoint point = FindSeekPoint(ring, wanted, hint, ServiceStopping);
        if (!point.pcr_found) return -1;
        // The pictures just before that PCR are told key pictures or not by the bytes after it.
        if (whole && ring.length() - point.pcr_at < kKeyDecideBytes) return -1;
        // A short look back first: most GOPs are far shorter than the whole window.
        for (const int64_t back : {int64_t{kKeySearchBytes / 16}, int64_t{kKeySearchBytes}}) {
            const int64_t from = ring.layout().RecordStart(std::max<int64_t>(0, point.pcr_at - back));
            const int64_t want = std::min<int64_t>(static_cast<int64_t>(window.size()), point.pcr_at + kKeyDecideBytes - from);
            const int got = ring.Read(from, window.data(), static_cast<int>(want));
            const int64_t key = got > 0 ? FindLastKeyFrameStart(window.data(), static_cast<std::size_t>(got), point.pcr_at - from) : -1;
            if (key >= 0) return from + key;
            if (from == 0) break;
        }
        if (!point.pat_found) return -1;
        at = point.pat_at;
    }
    const int got = ring.Read(at, window.data(), kKeySearchBytes);
    const int64_t key = got > 0 ? FindKeyFrameStart(window.data(), static_cast<std::size_t>(got)) : -1;
    if (key >= 0) return at + key;
    // No key picture in a whole window: the PAT itself. Short of one, it may be still to come.
    return whole && got < kKeySearchBytes ? -1 : at;
}

// The byte range of a part in its file (offsets in the file, not the stretch): from the key
// picture at or before its first second to
// the one at or before the first second of the next part (the file's end for its last part).
// whole: the file is being written, and a part counts only once the bytes that tell where it
// ends are in the file, so that the bytes of a listed part never change.
bool PartRange(const ArchiveFile& file, const ArchivePart& part, int fd, bool whole, int64_t& begin, int64_t& end)
{
    const TsRing ring(fd, kPlainTsLayout, 0, kPlainTsLayout.RecordStart(file.size), file.begin);
    std::vector<uint8_t> window(kKeySearchBytes + kKeyDecideBytes);
    begin = KeyStartAt(file, ring, part.from, whole, window);
    if (begin < 0) return false;
    end = part.to >= file.seconds - 0.001 ? -1 : KeyStartAt(file, ring, part.to, whole, window);
    if (end < 0) {
        if (whole) return false;
        end = ring.length();
    }
    begin += file.begin;
    end += file.begin;
    return end > begin;
}

std::string IntervalName(const HlsPath& path)
{
    return "archive-" + std::to_string(path.start) + "-" + std::to_string(path.seconds);
}

struct Interval {
    std::vector<ArchiveFile> files;
    std::vector<ArchivePart> parts;
};

bool ChannelInterval(int channel_number, const HlsPath& path, Interval& interval)
{
    if (g_config.tv_on_demand_record_duration <= 0) return false;
    const std::shared_ptr<ChannelTable> table = CurrentChannels();
    if (channel_number < 1 || channel_number > table->Count()) return false;
    interval.files = ChannelArchive(*table->channels[static_cast<std::size_t>(channel_number - 1)]);
    interval.parts = ArchiveParts(interval.files, path.start, path.seconds);
    return !interval.parts.empty();
}

void Send(PlayerConnection& conn, const std::string& answer)
{
    if (!SendConnectionText(conn, answer)) LogSystemMessage("Catch-up: the answer was not sent\n");
}

// Sends bytes [begin, end) of a file; with a pacer, paced block by block after the burst.
bool SendFileRange(PlayerConnection& conn, int fd, int64_t begin, int64_t end, PacedBatch* batch, BitratePacer* pacer,
                   StartBurst* burst)
{
    // Paced: a block at a time; otherwise as fast as the socket takes it.
    std::vector<uint8_t> buffer(batch != nullptr ? kTsBlockSize : 64 * 1024);
    for (int64_t at = begin; at < end;) {
        if (g_http_stop_state.load() != 0 || conn.stop.load() != 0) return false;
        const int want = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), end - at));
        const ssize_t got = pread(fd, buffer.data(), static_cast<std::size_t>(want), at);
        if (got <= 0) return false;
        at += got;
        if (batch == nullptr) {
            if (!SendConnectionText(conn, buffer.data(), static_cast<std::size_t>(got))) return false;
            continue;
        }
        if (!batch->Add(buffer.data(), static_cast<int>(got))) return false;
        const int64_t ms = pacer->NextMs();
        if (!burst->Take() && ms > 0 && !batch->AddSleep(ms)) return false;
    }
    return true;
}

void ServeArchivePlaylist(PlayerConnection& conn, const char* request, bool http11, const HlsPath& path, Interval& interval)
{
    bool event = ArchiveStillRecorded(interval.files, path.start, path.seconds, std::time(nullptr));
    // The last parts in the file being written wait until their bytes are all there; until
    // then the interval is not wholly recorded either.
    while (!interval.parts.empty() && interval.files[interval.parts.back().file].recording) {
        const ArchivePart& part = interval.parts.back();
        const ArchiveFile& file = interval.files[part.file];
        const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        int64_t begin = 0, end = 0;
        const bool whole = fd >= 0 && PartRange(file, part, fd, true, begin, end);
        if (fd >= 0) close(fd);
        if (whole) break;
        interval.parts.pop_back();
        event = true;
    }
    const std::string name = IntervalName(path);
    const std::string token = CatchUpViewingOf(conn, path.channel, name);
    const std::string suffix = g_config.user_authorization ? "?t=" + token : "";
    const std::string body = ArchivePlaylistText(interval.parts, name, suffix, event);
    std::time_t modified = 0;
    for (const ArchiveFile& file : interval.files) modified = std::max(modified, file.modified);
    // The token is in the addresses: a new viewing's playlist is another one.
    std::string etag = event ? "\"e" : "\"";
    etag += std::to_string(interval.parts.size());
    if (!event && !interval.parts.empty()) etag.append("-").append(std::to_string(interval.files[interval.parts.back().file].size));
    if (!suffix.empty()) etag.append("-").append(token, 0, 8);
    etag += '"';
    const std::string headers = CacheHeaders(event ? kEventMaxAge : kArchiveMaxAge, etag, modified);
    const std::string unchanged = NotModified(request, http11, etag, modified, headers);
    if (!unchanged.empty()) {
        Send(conn, unchanged);
        return;
    }
    Send(conn, AnswerHead(http11, "200 OK", "Content-Type: application/vnd.apple.mpegurl\r\n" + headers, body.size()) + body);
}

void ServeArchivePart(PlayerConnection& conn, const char* request, bool http11, std::string_view query, const HlsPath& path,
                      const Interval& interval)
{
    if (path.sequence >= static_cast<int64_t>(interval.parts.size())) {
        Send(conn, kNotFoundAnswer);
        return;
    }
    const ArchivePart& part = interval.parts[static_cast<std::size_t>(path.sequence)];
    const ArchiveFile& file = interval.files[part.file];
    const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    int64_t begin = 0, end = 0;
    if (fd < 0 || !PartRange(file, part, fd, file.recording, begin, end)) {
        if (fd >= 0) close(fd);
        Send(conn, kNotFoundAnswer);
        return;
    }
    char etag_text[80];
    FormatText(etag_text, "\"%lld-%lld-%lld\"", static_cast<long long>(file.named), static_cast<long long>(begin),
               static_cast<long long>(end));
    const std::string etag = etag_text;
    const std::string headers = CacheHeaders(kPartMaxAge, etag, file.modified);
    const std::string unchanged = NotModified(request, http11, etag, file.modified, headers);
    if (!unchanged.empty()) {
        Send(conn, unchanged);
    } else if (!SendConnectionText(conn, AnswerHead(http11, "200 OK", "Content-Type: video/mp2t\r\n" + headers,
                                            static_cast<std::size_t>(end - begin))) ||
               !SendFileRange(conn, fd, begin, end, nullptr, nullptr, nullptr)) {
        LogSystemMessage("Catch-up: CH[%d] part %lld ends early\n", path.channel, static_cast<long long>(path.sequence));
    } else {
        const auto bytes = static_cast<std::size_t>(end - begin);
        CountSent(nullptr, conn.stats, bytes);
        CountCatchUpSent(QueryParameter(query, "t"), conn.client_ip, path.channel, IntervalName(path), bytes);
    }
    close(fd);
}

// The whole interval as one stream, paced by each recording's bitrate after the start's burst.
void ServeArchiveStream(PlayerConnection& conn, bool http11, const HlsPath& path, const Interval& interval)
{
    const std::string head = std::string(http11 ? "HTTP/1.1" : "HTTP/1.0") +
                             " 200 OK\r\nServer: Quorvane/6.0\r\nContent-Type: video/mp2t\r\nConnection: close\r\n\r\n";
    if (!SendConnectionText(conn, head)) return;
    LogSystemMessage("Catch-up: CH[%d] streams %lld s from %lld\n", path.channel, static_cast<long long>(path.seconds),
                     static_cast<long long>(path.start));
    PacedBatch batch([&conn](const uint8_t* data, int length) { return SendConnectionText(conn, data, static_cast<std::size_t>(length)); });
    StartBurst burst;
    for (const ArchivePart& part : interval.parts) {
        const ArchiveFile& file = interval.files[part.file];
        const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        int64_t begin = 0, end = 0;
        if (fd < 0) return;
        // Real time: a block's bits at the recording's own rate.
        BitratePacer pacer(static_cast<int64_t>(kTsBlockSize) * 8 * 1000 / std::max(1, file.kbps));
        const bool sent = PartRange(file, part, fd, false, begin, end) && SendFileRange(conn, fd, begin, end, &batch, &pacer, &burst);
        close(fd);
        if (!sent) return;
    }
    if (!batch.Flush()) LogSystemMessage("Catch-up: CH[%d] stream ends early\n", path.channel);
}

// The first PCR's time of each file as first worked out: the time of a file's last change
// moves as it grows, and the parts' bounds must not move with it. A file written again under
// the same name (another first PCR) is worked out again.
struct KnownStart {
    int64_t first_pcr = -1;
    double  start = 0;
};
struct KnownStarts {
    std::mutex                        lock;
    std::map<std::string, KnownStart> starts;      // by path
};
KnownStarts& Starts()
{
    static auto* starts = new KnownStarts;      // never destroyed: requests may end after main's statics
    return *starts;
}

double KeptContentStart(const ArchiveFile& file, double start)
{
    constexpr std::size_t kKeptMax = 10000;     // far more than a week of files of many channels
    KnownStarts& known = Starts();
    std::lock_guard<std::mutex> held(known.lock);
    const auto found = known.starts.find(file.path);
    if (found != known.starts.end() && found->second.first_pcr == file.first_pcr) return found->second.start;
    if (known.starts.size() >= kKeptMax) known.starts.clear();
    known.starts[file.path] = KnownStart{file.first_pcr, start};
    return start;
}

// The stretches of each recording as last found, by path: a file that has not changed since
// is not read again.
struct KnownStretch {
    int64_t      size = 0;
    timespec     modified{};
    PcrStretches found;
};
struct KnownStretches {
    std::mutex                          lock;
    std::map<std::string, KnownStretch> files;
};
KnownStretches& Stretches()
{
    static auto* stretches = new KnownStretches;   // never destroyed, as the starts
    return *stretches;
}

PcrStretches StretchesOf(const std::string& path, int fd, int64_t size, const timespec& modified)
{
    constexpr std::size_t kKeptMax = 10000;
    KnownStretches& known = Stretches();
    {
        std::lock_guard<std::mutex> held(known.lock);
        const auto found = known.files.find(path);
        if (found != known.files.end() && found->second.size == size && found->second.modified.tv_sec == modified.tv_sec &&
            found->second.modified.tv_nsec == modified.tv_nsec)
            return found->second.found;
    }
    const TsRing ring(fd, kPlainTsLayout, 0, kPlainTsLayout.RecordStart(size));
    PcrStretches found = FindPcrStretches(ring, ServiceStopping);
    std::lock_guard<std::mutex> held(known.lock);
    if (known.files.size() >= kKeptMax) known.files.clear();
    known.files[path] = KnownStretch{size, modified, found};
    return found;
}

// A recording's stretches as archive entries, each timed from the file's start on by the bytes
// of the stretches before it; stretches whose clock cannot be measured are left out (their
// time still counts).
void AddStretches(ArchiveFile file, const PcrStretches& found, double modified, std::vector<ArchiveFile>& files)
{
    if (found.stretches.empty()) return;
    const int64_t total = file.size;
    std::vector<double> rates;                      // bytes per second of each stretch
    for (const PcrStretch& stretch : found.stretches) {
        double rate = found.bytes_per_second;
        if (stretch.last_ticks > stretch.first_ticks && stretch.last_at > stretch.first_at)
            rate = static_cast<double>(stretch.last_at - stretch.first_at) /
                   (static_cast<double>(stretch.last_ticks - stretch.first_ticks) / static_cast<double>(kPcrTicksPerSecond));
        rates.push_back(rate);
    }
    if (rates[0] <= 0) return;
    const auto end_of = [&](std::size_t k) { return k + 1 < found.stretches.size() ? found.stretches[k + 1].begin : total; };
    double span = 0;                                // from the first PCR to the file's end
    for (std::size_t k = 0; k < found.stretches.size(); ++k)
        if (rates[k] > 0) span += static_cast<double>(end_of(k) - found.stretches[k].first_at) / rates[k];
    file.first_pcr = found.stretches[0].first_ticks;
    double start = KeptContentStart(file, ArchiveContentStart(file.named, modified, span));
    for (std::size_t k = 0; k < found.stretches.size() && rates[k] > 0; ++k) {
        const PcrStretch& stretch = found.stretches[k];
        ArchiveFile entry = file;
        entry.begin = stretch.begin;
        entry.size = end_of(k) - stretch.begin;
        entry.first_pcr = stretch.first_ticks;
        entry.kbps = static_cast<int32_t>(rates[k] * 8.0 / 1000.0);
        entry.seconds = static_cast<double>(entry.size) / rates[k];
        entry.start = start;
        entry.recording = file.recording && k + 1 == found.stretches.size();   // only the last one grows
        start += static_cast<double>(end_of(k) - stretch.first_at) / rates[k];
        const bool measured = stretch.last_ticks > stretch.first_ticks && entry.kbps > 0;
        if (measured) files.push_back(std::move(entry));
    }
}

}  // namespace

std::vector<ArchiveFile> ChannelArchive(const ChannelRecord& channel)
{
    std::vector<ArchiveFile> files;
    if (channel.rec_folder[0] == '\0' || !RecordingFolderIsSafe(channel.rec_folder)) return files;
    const std::string folder = std::string("tv_program_archive/") + channel.rec_folder;
    std::vector<DirEntry> entries;
    if (!ListDirectory(folder, entries)) return files;
    bool recorder_marks = false;                 // the recorder writes one (perhaps too new to list)
    for (const DirEntry& entry : entries) {
        const std::time_t start = ArchiveFileStart(entry.name);
        if (!entry.is_file || start < 0) continue;
        ArchiveFile file;
        file.path = folder + "/" + entry.name;
        file.named = start;
        file.recording = ArchiveFileRecording(file.path);
        recorder_marks = recorder_marks || file.recording;
        if (entry.size < kTsPacketSize * 2) continue;
        const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info{};
        double modified = 0;
        if (fstat(fd, &info) == 0) {
            file.size = static_cast<int64_t>(info.st_size);
            file.modified = info.st_mtime;
            modified = static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
        }
        const PcrStretches found = StretchesOf(file.path, fd, file.size, info.st_mtim);
        close(fd);
        AddStretches(file, found, modified, files);
    }
    std::sort(files.begin(), files.end(),
              [](const ArchiveFile& a, const ArchiveFile& b) { return a.named != b.named ? a.named < b.named : a.begin < b.begin; });
    // Without the recorder's mark (the file comes from another writer) the newest file counts
    // as written to while it keeps changing.
    if (!recorder_marks && !files.empty() && std::time(nullptr) - files.back().modified < kArchiveWriteQuietSeconds)
        files.back().recording = true;
    return files;
}

double ArchiveContentStart(std::time_t named, double modified, double span)
{
    const double name = static_cast<double>(named);
    if (span < 0 || modified <= 0) return name;
    const double start = modified - span;
    return start >= name - kArchiveLeadSeconds && start < name + 60 ? start : name;
}

std::vector<ArchivePart> ArchiveParts(const std::vector<ArchiveFile>& files, int64_t start, int64_t seconds)
{
    std::vector<ArchivePart> parts;
    const double first = static_cast<double>(start), last = static_cast<double>(start) + static_cast<double>(seconds);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const double file_start = files[i].start;
        // A file ends where the next one begins, whatever its own clock says.
        double file_end = file_start + files[i].seconds;
        if (i + 1 < files.size()) file_end = std::min(file_end, files[i + 1].start);
        const double from = std::max(first, file_start), to = std::min(last, file_end);
        bool first_of_file = true;
        for (double at = from; at < to - 0.5; at += kArchivePartSeconds) {
            ArchivePart part;
            part.file = i;
            part.from = at - file_start;
            part.to = std::min(at + kArchivePartSeconds, to) - file_start;
            part.discontinuity = first_of_file && !parts.empty();
            first_of_file = false;
            parts.push_back(part);
        }
    }
    return parts;
}

bool ArchiveStillRecorded(const std::vector<ArchiveFile>& files, int64_t start, int64_t seconds, std::time_t now)
{
    const double end = static_cast<double>(start) + static_cast<double>(seconds);
    if (end > static_cast<double>(now)) return true;
    for (const ArchiveFile& file : files)
        if (file.recording && end > file.start + file.seconds) return true;
    return false;
}

std::string ArchivePlaylistText(const std::vector<ArchivePart>& parts, const std::string& name, const std::string& suffix,
                                bool event)
{
    // A growing playlist keeps its target: the parts to come are as long as a part can be.
    double longest = event ? kArchivePartSeconds : 0;
    for (const ArchivePart& part : parts) longest = std::max(longest, part.to - part.from);
    std::string text = std::string("#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-PLAYLIST-TYPE:") + (event ? "EVENT" : "VOD") +
                       "\r\n#EXT-X-TARGETDURATION:" + std::to_string(static_cast<int>(std::ceil(longest))) +
                       "\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (parts[k].discontinuity) text += "#EXT-X-DISCONTINUITY\r\n";
        char line[48];
        FormatText(line, "#EXTINF:%.3f,\r\n", parts[k].to - parts[k].from);
        text += line;
        text += name + "-part-" + std::to_string(k) + ".ts" + suffix + "\r\n";
    }
    return event ? text : text + "#EXT-X-ENDLIST\r\n";
}

static void ServeCatchUp(PlayerConnection& conn, const char* request, bool http11, std::string_view target, const HlsPath& path)
{
    LogSystemMessage("Request Catch-up =[%.*s]\n", static_cast<int>(target.size()), target.data());
    const std::size_t question = std::min(target.find('?'), target.size());
    const std::string_view query = target.substr(std::min(question + 1, target.size()));
    if (path.kind == HlsPath::kArchivePart) {
        // A part is admitted by the token of its playlist's viewing, as a live segment is.
        const std::string name = IntervalName(path);
        if (!g_config.user_authorization) {
            TouchCatchUpViewing(conn.client_ip, path.channel, name);
        } else if (!CatchUpTokenAdmits(QueryParameter(query, "t"), path.channel, name)) {
            LogSystemMessage("Catch-up: CH[%d] part without a running viewing refused\n", path.channel);
            Send(conn, kHttpUserError);
            return;
        }
    } else {
        TakeRequestCredentials(conn, request, target.data() + question, true);
        if (g_config.user_authorization) {
            std::string refusal;
            if (!CheckCredentials(conn, refusal) || !CheckChannelAccess(conn, path.channel, refusal)) {
                Send(conn, refusal);
                return;
            }
        }
    }
    Interval interval;
    if (!ChannelInterval(path.channel, path, interval)) {
        LogSystemMessage("Catch-up: CH[%d] has no archive for %lld s from %lld\n", path.channel,
                         static_cast<long long>(path.seconds), static_cast<long long>(path.start));
        Send(conn, kNotFoundAnswer);
        return;
    }
    switch (path.kind) {
    case HlsPath::kArchivePlaylist: ServeArchivePlaylist(conn, request, http11, path, interval); break;
    case HlsPath::kArchivePart: ServeArchivePart(conn, request, http11, query, path, interval); break;
    default: {
        // The user's stream, as a "/N.ch" one is: it ends the user's other stream, another one
        // ends it, and the watch log has its start and end.
        const char* who = g_config.user_authorization ? conn.user_name : conn.client_ip;
        if (g_config.user_authorization && std::strcmp(conn.user_name, "root") != 0) DiscardPreviousConnection(conn);
        CopyText(conn.path, target.substr(0, target.find('?')));    // what /status.json shows, without the password
        JoinPlayerList(conn);
        LogChannelStart(who, path.channel, conn.player_time, sizeof conn.player_time);
        ServeArchiveStream(conn, http11, path, interval);
        LogChannelEnd(who, path.channel);
        LeavePlayerList(conn);
        break;
    }
    }
}

bool ServeCatchUpRequest(PlayerConnection& conn, const char* request, bool http11)
{
    const std::string_view target = RequestTarget(request);
    const HlsPath parsed = ParseHlsPath(target.substr(0, target.find('?')));
    switch (parsed.kind) {
    case HlsPath::kArchivePlaylist:
    case HlsPath::kArchiveStream:
    case HlsPath::kArchivePart: ServeCatchUp(conn, request, http11, target, parsed); return true;
    default: return false;
    }
}
