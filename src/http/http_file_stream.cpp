#include "http/http_file_stream.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "core/threads.h"
#include "http/http_service.h"
#include "media/probe.h"
#include "media/ts_timing.h"
#include "net/tcp_service.h"
#include "stream/pacing.h"
#include "users/usage_log.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <algorithm>
#include <sys/sendfile.h>
#include <unistd.h>

namespace {

constexpr int kBlockSize       = kTsBlockSize;

enum class FileKind { kPlain, kMedia, kTimed };

struct Names {
    const char* in;
    const char* cmd_stop;
    const char* out;
};

Names NamesOf(FileKind kind)
{
    switch (kind) {
    case FileKind::kPlain:
        return {"*** HTTPDataThread [%d] IN\n", "Thread[%d]: HTTPDataThread (IN Cmd STOP)\n",
                "*** HTTPDataThread [%d] OUT: filename=[%s]\n"};
    case FileKind::kMedia:
        return {"*** HTTPMediaDataThread [%d] IN\n", "Thread[%d]: HTTPMediaDataThread (IN Cmd STOP)\n",
                "*** HTTPMediaDataThread [%d] OUT: filename=[%s]\n"};
    default:
        return {"*** IPTV_PS_HTTP_DataThread [%d] IN\n", "Thread[%d]: IPTV_PS_HTTP_DataThread (IN Cmd STOP)\n",
                "*** IPTV_PS_HTTP_DataThread_Enable_Connection [%d] OUT: filename=[%s]\n"};
    }
}

// Sends all of the block unless the connection stops; false after a failed send.
bool SendBlock(PlayerConnection& conn, const uint8_t* block, int length, int number)
{
    int sent = 0;
    while (sent < length && conn.stop.load() == 0) {
        const int fd = conn.socket.load();
        if (fd < 0) return false;
        const ssize_t result = SendBytes(fd, block + sent, static_cast<std::size_t>(length - sent));
        if (result <= 0) {
            LogSystemMessage("*** IPTV_PS_HTTP_DataThread [%d] Player closes TCP Socket : filename=[%s], Warning Code [%d]\n",
                             number, conn.path, errno);
            conn.stop.store(1);
            return false;
        }
        sent += static_cast<int>(result);
        CountSent(conn, static_cast<std::size_t>(result));
    }
    return true;
}

enum class PlainSent { kDone, kFailed, kFull };

// Plain files are not paced: the kernel copies them straight from the page cache to the
// socket, in steps small enough to notice a stop within one step. On a non-blocking socket a
// full send buffer ends the call (kFull) with the position where the rest starts.
PlainSent SendPlainFile(PlayerConnection& conn, int number, bool non_blocking = false)
{
    constexpr int64_t kStep = 1 << 20;
    off_t offset = static_cast<off_t>(conn.current_pos);
    while (g_http_stop_state.load() == 0 && conn.stop.load() == 0 && conn.current_pos < conn.end_pos) {
        const int fd = conn.socket.load();
        if (fd < 0) break;
        const int64_t want = std::min(kStep, conn.end_pos - conn.current_pos);
        const ssize_t sent = sendfile(fd, conn.file, &offset, static_cast<std::size_t>(want));
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && non_blocking && (errno == EAGAIN || errno == EWOULDBLOCK)) return PlainSent::kFull;
        if (sent == 0) {
            LogSystemMessage("HTTPDataThread OUT (EOF): filename=[%s]\n", conn.path);
            break;
        }
        if (sent < 0) {
            LogSystemMessage("*** IPTV_PS_HTTP_DataThread [%d] Player closes TCP Socket : filename=[%s], Warning Code [%d]\n",
                             number, conn.path, errno);
            conn.stop.store(1);
            return PlainSent::kFailed;
        }
        conn.current_pos += sent;
        CountSent(conn, static_cast<std::size_t>(sent));
    }
    return PlainSent::kDone;
}

// Reads the next block of a paced file up to its end position: its length, 0 at the end.
int ReadBlock(PlayerConnection& conn, FileKind kind, int number, uint8_t* block)
{
    if (conn.current_pos >= conn.end_pos) return 0;
    ssize_t got;
    do {
        got = read(conn.file, block, kBlockSize);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        if (kind == FileKind::kMedia) LogSystemMessage("Thread[%d]: HTTPMediaDataThread OUT (EOF): filename=[%s]\n", number, conn.path);
        else LogSystemMessage("HTTPDataThread OUT (EOF): filename=[%s]\n", conn.path);
        return 0;
    }
    int length = static_cast<int>(got);
    conn.current_pos += length;
    if (conn.current_pos > conn.end_pos) {
        length -= static_cast<int>(conn.current_pos - conn.end_pos);
        conn.current_pos = conn.end_pos;
    }
    return length;
}

// The paces of a media file (by its PCR) and of a timed one (by its bitrate); the first
// blocks (or PCRs) of the burst go out without a sleep.
class FilmPace {
public:
    FilmPace(PlayerConnection& conn, FileKind kind, const BitratePacer& bitrate) : conn_(conn), kind_(kind), bitrate_(bitrate) {}
    // The sleep after the block; false for a block that sets no pacing point.
    bool Next(const uint8_t* block, int length, int64_t& pause_ms)
    {
        pause_ms = 0;
        if (kind_ != FileKind::kMedia) {
            if (!burst_.Take()) pause_ms = bitrate_.NextMs();
            return true;
        }
        const int64_t ms = pcr_.Next(block, length);
        if (!pcr_.took_pcr()) return false;
        // The player's clock, read by the player REST API.
        const double t = static_cast<double>(pcr_.last_ticks()) / static_cast<double>(kPcrTicksPerSecond);
        if (!conn_.has_pcr) {
            conn_.has_pcr        = true;
            conn_.first_pcr_time = t;
        }
        conn_.last_pcr_time = t;
        conn_.elapsed_time  = t - conn_.first_pcr_time;
        conn_.last_pcr      = pcr_.last_ticks();
        if (!burst_.Take()) pause_ms = ms;
        return true;
    }

private:
    PlayerConnection& conn_;
    FileKind          kind_;
    BitratePacer      bitrate_;
    FilePacer         pcr_;
    StartBurst        burst_;
};

// A media or timed file block by block at its pace; false after a failed send.
bool SendPacedFile(PlayerConnection& conn, FileKind kind, int number, const BitratePacer& bitrate)
{
    uint8_t block[kBlockSize];
    FilmPace pace(conn, kind, bitrate);
    PacedBatch batch([&](const uint8_t* data, int length) { return SendBlock(conn, data, length, number); });
    while (g_http_stop_state.load() == 0 && conn.stop.load() == 0) {
        const int length = ReadBlock(conn, kind, number, block);
        if (length <= 0) break;
        if (!batch.Add(block, length)) return false;
        int64_t pause_ms = 0;
        if (!pace.Next(block, length, pause_ms)) continue;
        if (!batch.AddSleep(pause_ms)) return false;
    }
    return conn.stop.load() != 0 || batch.Flush();
}

// A stream's start: a counted file's player fields and watch log, and the player list.
void JoinStream(PlayerConnection& conn, FileKind kind, int number, DataThreadScope& scope, const char* identity)
{
    const bool counted = kind != FileKind::kPlain;
    if (kind == FileKind::kMedia) LogSystemMessage("Thread[%d]: HTTPMediaDataThread IN: filename=[%s]\n", number, conn.path);
    else LogSystemMessage("HTTPDataThread IN: filename=[%s]\n", conn.path);
    if (counted && std::strcmp(conn.user_name, "root") != 0) DiscardPreviousConnection(conn);
    if (counted) {
        CopyText(conn.group, "HTTP");
        CopyText(conn.mac_id, conn.user_name);
        const int32_t seconds = kind == FileKind::kTimed ? static_cast<int32_t>(mp4_duration_seconds(conn.path)) : 0;
        LogMovieStart(identity, identity, conn.path, seconds, conn.player_time, sizeof conn.player_time);
    }
    scope.JoinPlayers();                       // with the fields the player REST API lists
}

// The stream's start, its bitrate pacer (timed files) and its start position; then the file
// itself. True for a close with an error.
bool StreamFile(PlayerConnection& conn, FileKind kind, int number, DataThreadScope& scope, const char* identity)
{
    JoinStream(conn, kind, number, scope, identity);

    BitratePacer bitrate;
    if (kind == FileKind::kTimed) {
        conn.bitrate = static_cast<float>(probe_bitrate_kbps(conn.path));
        const int64_t sleep_us = BlockSleepMicroseconds(g_config.bitrate_constant, conn.bitrate);
        LogSystemMessage("HTTPDataThread IN: filename=[%s] Bitrate=[%f], Sleeptime=[%d]\n", conn.path,
                         static_cast<double>(conn.bitrate), static_cast<int>(sleep_us));
        bitrate = BitratePacer(sleep_us);
    }
    if (conn.current_pos > 0) {
        const off_t seek = lseek(conn.file, static_cast<off_t>(conn.current_pos), SEEK_SET);
        if (kind == FileKind::kTimed)
            LogSystemMessage("***[%d] Cur POS=[%" PRId64 "] Stop POS=[%" PRId64 "] Seek POS=[%" PRId64 "]\n", number,
                             conn.current_pos, conn.end_pos, static_cast<int64_t>(seek));
    }
    if (kind == FileKind::kPlain) return SendPlainFile(conn, number) == PlainSent::kFailed;
    return !SendPacedFile(conn, kind, number, bitrate) && conn.stop.load() != 0;
}

const char* IdentityOf(const PlayerConnection& conn) { return g_config.user_authorization ? conn.user_name : conn.client_ip; }

// A file stream's first lines: false when there is nothing to send (the command answered 404).
bool BeginFile(PlayerConnection& conn, FileKind kind, int number, DataThreadScope& scope)
{
    const Names names = NamesOf(kind);
    LogSystemMessage(names.in, number);
    if (kind != FileKind::kPlain) scope.Count();
    if (conn.stop.load() == 0) return true;
    LogSystemMessage(names.cmd_stop, number);
    CopyText(conn.path, "(IN Cmd STOP)");
    return false;
}

// A file stream's end but its hand-off to the monitor: the file closed, the socket closed and
// the watch log ended.
void EndFile(PlayerConnection& conn, FileKind kind, int number, DataThreadScope& scope, bool error_close)
{
    const bool counted = kind != FileKind::kPlain;
    const char* identity = IdentityOf(conn);
    if (conn.file >= 0) {
        close(conn.file);
        conn.file = -1;
    }
    if (kind == FileKind::kPlain) LogSystemMessage("HTTPDataThread OUT (Close file): filename=[%s]\n", conn.path);
    else if (kind == FileKind::kMedia) LogSystemMessage("Thread[%d]: HTTPMediaDataThread OUT (Close file): filename=[%s]\n", number, conn.path);
    else LogSystemMessage("HTTPDataThread OUT (Fclose file): filename=[%s]\n", conn.path);
    scope.Uncount();
    CloseConnectionSocket(g_http_service, conn, error_close);
    if (scope.joined() && counted) LogMovieEnd(identity, identity, conn.path);
}

// Everything of a file stream but its hand-off to the monitor.
void ServeFile(PlayerConnection& conn, FileKind kind, int number, DataThreadScope& scope)
{
    bool error_close = false;
    if (BeginFile(conn, kind, number, scope)) error_close = StreamFile(conn, kind, number, scope, IdentityOf(conn));
    EndFile(conn, kind, number, scope, error_close);
}

int32_t RunFileThread(PlayerConnection& conn, FileKind kind)
{
    const int number = ThreadNumber();
    DataThreadScope scope(g_http_service, conn);
    ServeFile(conn, kind, number, scope);
    scope.HandToMonitor();
    LogSystemMessage(NamesOf(kind).out, number, conn.path);
    return 0;
}

}  // namespace

void ServePlainFileOnCommandThread(PlayerConnection& conn, int number)
{
    DataThreadScope scope(g_http_service, conn, DataThreadScope::kOnCommandThread);
    ServeFile(conn, FileKind::kPlain, number, scope);
    LogSystemMessage(NamesOf(FileKind::kPlain).out, number, conn.path);
}

bool ServePlainFileInLoop(PlayerConnection& conn, int number)
{
    DataThreadScope scope(g_http_service, conn, DataThreadScope::kOnCommandThread);
    bool error_close = false;
    if (BeginFile(conn, FileKind::kPlain, number, scope)) {
        JoinStream(conn, FileKind::kPlain, number, scope, IdentityOf(conn));
        if (conn.end_pos - conn.current_pos > kLoopFileMax) return false;   // may take the disk a while
        const PlainSent sent = SendPlainFile(conn, number, true);
        if (sent == PlainSent::kFull) return false;
        error_close = sent == PlainSent::kFailed;
    }
    EndFile(conn, FileKind::kPlain, number, scope, error_close);
    LogSystemMessage(NamesOf(FileKind::kPlain).out, number, conn.path);
    return true;
}

void FinishPlainFile(PlayerConnection& conn, int number)
{
    DataThreadScope scope(g_http_service, conn, DataThreadScope::kOnCommandThread);
    const bool error_close = SendPlainFile(conn, number) == PlainSent::kFailed;
    EndFile(conn, FileKind::kPlain, number, scope, error_close);
    LogSystemMessage(NamesOf(FileKind::kPlain).out, number, conn.path);
}

int32_t HTTPDataThread(void* connection)
{
    RunFileThread(*static_cast<PlayerConnection*>(connection), FileKind::kPlain);
    EndThread();
}

int32_t HTTPMediaDataThread(void* connection)
{
    RunFileThread(*static_cast<PlayerConnection*>(connection), FileKind::kMedia);
    EndThread();
}

int32_t IPTV_PS_HTTP_DataThread(void* connection)
{
    RunFileThread(*static_cast<PlayerConnection*>(connection), FileKind::kTimed);
    EndThread();
}
