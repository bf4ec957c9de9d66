#include "media/probe.h"

#include "core/byte_order.h"
#include "core/log.h"
#include "media/media_file.h"
#include "media/ts_packet.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// The probes run on the request path, so none reads more than this much of a file however
// large it is: from the start, from the end, or as the ASF header.
static constexpr int64_t kProbeScanLimit = int64_t{4} << 20;

// What identifies one version of a file: a file rewritten in place changes its size or its
// times, a file replaced by another changes its inode.
struct FileStamp {
    dev_t    device = 0;
    ino_t    inode = 0;
    int64_t  size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileStamp& other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

struct ProbeResult {
    FileStamp stamp;
    bool      has_bitrate = false;
    int32_t   bitrate_kbps = 0;
    bool      has_duration = false;
    double    duration_seconds = 0;
    std::list<std::string>::iterator age;         // place in ProbeCache::by_age
};

// Results of probe_bitrate_kbps and mp4_duration_seconds per file, so that the requests and
// viewer joins of one file read it once per version. The least recently used file goes first.
struct ProbeCache {
    static constexpr std::size_t kMaxFiles = 256;
    std::mutex                                   lock;
    std::unordered_map<std::string, ProbeResult> by_path;   // guarded by lock
    std::list<std::string>                       by_age;    // most recent first; guarded by lock
};
static ProbeCache g_probe_cache;

// The cache key of path (relative paths made absolute, as the working folder may change)
// and its stamp; false for a file that cannot be had or is not a regular file, which is
// probed every time.
static bool StampOf(const char* path, std::string& key, FileStamp& stamp)
{
    struct stat info{};
    if (path == nullptr || stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    key.clear();
    if (path[0] != '/') {
        char folder[4096];
        if (getcwd(folder, sizeof folder) == nullptr) return false;
        key.append(folder).append("/");
    }
    key.append(path);
    stamp.device   = info.st_dev;
    stamp.inode    = info.st_ino;
    stamp.size     = static_cast<int64_t>(info.st_size);
    stamp.modified = info.st_mtim;
    stamp.changed  = info.st_ctim;
    return true;
}

// The remembered result for this version of the file, or nullptr; call with the lock held.
static ProbeResult* CachedResult(const std::string& key, const FileStamp& stamp)
{
    const auto found = g_probe_cache.by_path.find(key);
    if (found == g_probe_cache.by_path.end() || !(found->second.stamp == stamp)) return nullptr;
    g_probe_cache.by_age.splice(g_probe_cache.by_age.begin(), g_probe_cache.by_age, found->second.age);
    return &found->second;
}

// The entry for this version of the file, made afresh for a new version; lock held.
static ProbeResult& ResultToFill(const std::string& key, const FileStamp& stamp)
{
    auto found = g_probe_cache.by_path.find(key);
    if (found == g_probe_cache.by_path.end()) {
        if (g_probe_cache.by_path.size() >= ProbeCache::kMaxFiles) {
            g_probe_cache.by_path.erase(g_probe_cache.by_age.back());
            g_probe_cache.by_age.pop_back();
        }
        g_probe_cache.by_age.push_front(key);
        found = g_probe_cache.by_path.emplace(key, ProbeResult{}).first;
        found->second.age = g_probe_cache.by_age.begin();
    } else {
        g_probe_cache.by_age.splice(g_probe_cache.by_age.begin(), g_probe_cache.by_age, found->second.age);
    }
    ProbeResult& result = found->second;
    if (!(result.stamp == stamp)) {
        result.stamp        = stamp;
        result.has_bitrate  = false;
        result.has_duration = false;
    }
    return result;
}

static int32_t ProbeBitrateByName(const char* path)
{
    if (std::strstr(path, ".wmv") != nullptr) return asf_bitrate_kbps(path);
    static const char* const kMp4Names[] = {".mp4", ".MP4", ".mov", ".MOV", ".3gp", ".3GP", ".3g2", ".3G2"};
    for (const char* name : kMp4Names)
        if (std::strstr(path, name) != nullptr) return mp4_bitrate_kbps(path);
    if (std::strstr(path, ".ts") != nullptr) return ts_bitrate_kbps(path);
    return 1024;
}

// The result of probe(path) for this version of the file, probing only when it is not known.
// The stamp is taken before the probe, so a file that changes while it is read is probed
// again on the next call. The lock is not held while the file is read: two first calls at
// once may both probe, and the later one's result stays.
template <typename Value>
static Value RememberedProbe(const char* path, bool ProbeResult::*known, Value ProbeResult::*value,
                             Value (*probe)(const char*))
{
    std::string key;
    FileStamp stamp;
    const bool cacheable = StampOf(path, key, stamp);
    if (cacheable) {
        std::lock_guard<std::mutex> held(g_probe_cache.lock);
        if (const ProbeResult* result = CachedResult(key, stamp); result != nullptr && result->*known)
            return result->*value;
    }
    const Value probed = probe(path);
    if (cacheable) {
        std::lock_guard<std::mutex> held(g_probe_cache.lock);
        ProbeResult& result = ResultToFill(key, stamp);
        result.*known = true;
        result.*value = probed;
    }
    return probed;
}

int32_t probe_bitrate_kbps(const char* path)
{
    return RememberedProbe(path, &ProbeResult::has_bitrate, &ProbeResult::bitrate_kbps, &ProbeBitrateByName);
}

static const uint8_t kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                           0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
static const uint8_t kAsfFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                   0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};

static uint64_t Little64(const uint8_t* p)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

static uint32_t Little32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int32_t asf_bitrate_kbps(const char* path)
{
    MediaFile file(path);
    if (!file.IsOpen()) return 0;
    uint8_t header[30];
    if (file.ReadAt(0, header, sizeof header) != static_cast<int64_t>(sizeof header)) return 0;
    if (std::memcmp(header, kAsfHeaderGuid, 16) != 0) return 0;
    // The declared header size is only trusted as far as the file reaches, and never past
    // the scan limit: a corrupt size must not make us allocate or read gigabytes.
    const uint64_t declared = Little64(header + 16);
    const int64_t size = file.Size();
    if (size <= 30) return 0;
    uint64_t length64 = static_cast<uint64_t>(size) - 30;
    if (declared < length64) length64 = declared;
    if (length64 > static_cast<uint64_t>(kProbeScanLimit)) length64 = static_cast<uint64_t>(kProbeScanLimit);
    const auto length = static_cast<std::size_t>(length64);
    std::vector<uint8_t> data;
    data.resize(length);
    const int64_t got = file.ReadAt(30, data.data(), length);
    if (got <= 0) return 0;
    const std::size_t end = static_cast<std::size_t>(got);
    std::size_t at = 0;
    while (at < declared && at + 24 <= end) {
        if (std::memcmp(data.data() + at, kAsfFilePropertiesGuid, 16) == 0) {
            if (at + 104 > end) return 0;
            return static_cast<int32_t>(Little32(data.data() + at + 100) / 1000);
        }
        const uint64_t object_size = Little64(data.data() + at + 16);
        if (object_size == 0 || object_size > end - at) return 0;
        at += static_cast<std::size_t>(object_size);
    }
    return 0;
}

int32_t ts_bitrate_kbps(const char* path)
{
    MediaFile file(path);
    if (!file.IsOpen()) {
        LogSystemMessage("[%s] open error\n", path);
        return 1000;
    }
    const int64_t size = file.Size();
    if (size <= 0) {
        LogSystemMessage("[%s] size=[%lld]\n", path, static_cast<long long>(size));
        return -1;
    }
    int64_t first = 0;
    int64_t last  = 0;
    int64_t next_offset = 0;                    // forward, until the first time stamp
    int64_t from_end    = 0;                    // packets back from the end, after it
    uint8_t packet[kTsPacketSize];
    for (;;) {
        int64_t offset = next_offset;
        if (first == 0 && offset >= kProbeScanLimit) {
            LogSystemMessage("[%s] size=[%lld] no video PTS in the first %lld bytes\n", path,
                             static_cast<long long>(size), static_cast<long long>(kProbeScanLimit));
            return 1000;
        }
        if (first > 0) {
            ++from_end;
            if (from_end * kTsPacketSize > kProbeScanLimit) {
                LogSystemMessage("[%s] size=[%lld] no second video PTS in the last %lld bytes\n", path,
                                 static_cast<long long>(size), static_cast<long long>(kProbeScanLimit));
                return 1024;
            }
            offset = size - from_end * kTsPacketSize;
            if (offset < 0) {                   // walked back past the start
                std::printf("end of file\n");
                return 1000;
            }
            offset -= offset % kTsPacketSize;
        }
        const int64_t got = file.ReadAt(offset, packet, sizeof packet);
        if (got == 0) {
            std::printf("end of file\n");
            return 1000;
        }
        if (got != kTsPacketSize) {
            std::printf("error reading\n");
            return 1000;
        }
        next_offset = offset + kTsPacketSize;
        if (packet[0] != kTsSyncByte) {
            LogSystemMessage("[%s] size=[%lld] is not TS format\n", path, static_cast<long long>(size));
            return 1024;
        }
        TsPacketHeader header;
        const uint16_t pid = parse_ts_header(packet, header);
        if (pid < 16 || pid > 8190) continue;
        const int start = payload_offset(packet);
        if (start + 4 > kTsPacketSize) continue;
        const uint8_t* payload = packet + start;
        if (payload[0] != 0x00 || payload[1] != 0x00 || payload[2] != 0x01 || payload[3] != 0xE0) continue;
        const int64_t pts = extract_video_pts(packet, header.adaptation_field_flag != 0);
        if (pts <= 0) continue;
        if (first == 0) {
            first = pts;
        } else {
            last = pts;
            break;
        }
    }
    if (last <= first || last - first < 90) return 1024;
    const int64_t duration_ms = (last - first) / 90;
    const int64_t kbps = size * 8 / duration_ms;
    return kbps > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                      : static_cast<int32_t>(kbps);
}

static constexpr int64_t kMp4Window = 10240;

static double ProbeMp4Duration(const char* path)
{
    MediaFile file(path);
    if (!file.IsOpen()) {
        std::printf("Failed");
        std::fflush(stdout);
        return 0;
    }
    const int64_t size = file.Size();
    std::vector<uint8_t> window(static_cast<std::size_t>(kMp4Window) + 3, 0);
    double seconds = 0;
    for (int64_t step = 0;; ++step) {
        if (step * kMp4Window > kProbeScanLimit) break;
        const int64_t start = step == 0 ? 0 : size - step * kMp4Window;
        if (start < 0) break;
        const int64_t got = file.ReadAt(start, window.data(), static_cast<std::size_t>(kMp4Window));
        if (got <= 0) break;
        std::memset(window.data() + got, 0, 3);
        const uint8_t* found = nullptr;
        for (int64_t i = 0; i < got && found == nullptr; ++i)
            if (std::memcmp(window.data() + i, "mvhd", 4) == 0) found = window.data() + i;
        if (found == nullptr) continue;
        // The header fields may lie past the window: read them from the file, and a
        // header cut off by the end of the file has no duration.
        uint8_t fields[24];
        const int64_t at = start + (found - window.data());
        if (file.ReadAt(at, fields, sizeof fields) == static_cast<int64_t>(sizeof fields)) {
            const uint32_t time_scale = ReadBe32(fields + 16);
            const uint32_t duration   = ReadBe32(fields + 20);
            if (duration > 0 && time_scale > 0) seconds = static_cast<double>(duration) / time_scale;
        }
        break;
    }
    LogSystemMessage("Filename=%s, Duration_Sec=%f\n", path, seconds);
    return seconds;
}

double mp4_duration_seconds(const char* path)
{
    return RememberedProbe(path, &ProbeResult::has_duration, &ProbeResult::duration_seconds, &ProbeMp4Duration);
}

int32_t mp4_bitrate_kbps(const char* path)
{
    MediaFile file(path);
    const int64_t size = file.Size();
    const double seconds = mp4_duration_seconds(path);
    const double bitrate = static_cast<double>(size < 0 ? 0 : size) * 8.0 / (seconds * 1000.0);
    LogSystemMessage("Filename=%s, bitrate=%f\n", path, bitrate);
    if (!std::isfinite(bitrate) || bitrate < 0 || bitrate >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return 0;
    return static_cast<int32_t>(bitrate);
}

int64_t vod_duration_seconds(const char* path)
{
    const int32_t kbps = probe_bitrate_kbps(path);
    LogSystemMessage("VOD Bitate=%d\n", kbps);
    MediaFile file(path);
    const int64_t size = file.Size();
    if (size < 0) return 0;
    const int64_t seconds = kbps > 0 ? size / (static_cast<int64_t>(kbps) * 125) : 0;
    LogSystemMessage("VOD sec=%d\n", static_cast<int>(seconds));
    return seconds;
}
