#include "http/http_file_stream.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
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

// The first PCR of the block's packets, in seconds.
bool BlockPcrSeconds(const uint8_t* block, int length, double& seconds)
{
    for (int at = 0; at + kTsPacketSize <= length; at += kTsPacketSize) {
        int64_t ticks = 0;
        if (block[at] == kTsSyncByte && extract_pcr(block + at, ticks)) {
            seconds = static_cast<double>(ticks) / static_cast<double>(kPcrTicksPerSecond);
            return true;
        }
    }
    return false;
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

// Plain files are not paced: the kernel copies them straight from the page cache to the
// socket, in steps small enough to notice a stop within one step.
bool SendPlainFile(PlayerConnection& conn, int number)
{
    constexpr int64_t kStep = 1 << 20;
    off_t offset = static_cast<off_t>(conn.current_pos);
    while (g_http_stop_state.load() == 0 && conn.stop.load() == 0 && conn.current_pos < conn.end_pos) {
        const int fd = conn.socket.load();
        if (fd < 0) break;
        const int64_t want = std::min(kStep, conn.end_pos - conn.current_pos);
        const ssize_t sent = sendfile(fd, conn.file, &offset, static_cast<std::size_t>(want));
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0) {
            LogSystemMessage("HTTPDataThread OUT (EOF): filename=[%s]\n", conn.path);
            break;
        }
        if (sent < 0) {
            LogSystemMessage("*** IPTV_PS_HTTP_DataThread [%d] Player closes TCP Socket : filename=[%s], Warning Code [%d]\n",
                             number, conn.path, errno);
            conn.stop.store(1);
            return false;
        }
        conn.current_pos += sent;
        CountSent(conn, static_cast<std::size_t>(sent));
    }
    return true;
}

// Everything of a file stream but its hand-off to the monitor: the file sent, closed, the
// socket closed and the watch log ended.
void ServeFile(PlayerConnection& conn, FileKind kind, int number, DataThreadScope& scope)
{
    const Names names = NamesOf(kind);
    const bool counted = kind != FileKind::kPlain;
    bool error_close = false;
    const char* identity = g_config.user_authorization ? conn.user_name : conn.client_ip;

    LogSystemMessage(names.in, number);
    if (counted) scope.Count();
    if (conn.stop.load() != 0) {
        LogSystemMessage(names.cmd_stop, number);
        CopyText(conn.path, "(IN Cmd STOP)");
    } else {
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

        BitratePacer pacer;
        if (kind == FileKind::kTimed) {
            conn.bitrate = static_cast<float>(probe_bitrate_kbps(conn.path));
            const int64_t sleep_us = BlockSleepMicroseconds(g_config.bitrate_constant, conn.bitrate);
            LogSystemMessage("HTTPDataThread IN: filename=[%s] Bitrate=[%f], Sleeptime=[%d]\n", conn.path,
                             static_cast<double>(conn.bitrate), static_cast<int>(sleep_us));
            pacer = BitratePacer(sleep_us);
        }
        if (conn.current_pos > 0) {
            const off_t seek = lseek(conn.file, static_cast<off_t>(conn.current_pos), SEEK_SET);
            if (kind == FileKind::kTimed)
                LogSystemMessage("***[%d] Cur POS=[%" PRId64 "] Stop POS=[%" PRId64 "] Seek POS=[%" PRId64 "]\n", number,
                                 conn.current_pos, conn.end_pos, static_cast<int64_t>(seek));
        }

        if (kind == FileKind::kPlain) error_close = !SendPlainFile(conn, number);
        uint8_t block[kBlockSize];
        StartBurst burst;
        PcrSleepCarry pcr_sleep;
        PacedBatch batch([&](const uint8_t* data, int length) { return SendBlock(conn, data, length, number); });
        bool failed = false;
        while (kind != FileKind::kPlain && g_http_stop_state.load() == 0 && conn.stop.load() == 0) {
            if (conn.current_pos >= conn.end_pos) break;
            ssize_t got;
            do {
                got = read(conn.file, block, sizeof block);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                if (kind == FileKind::kMedia) LogSystemMessage("Thread[%d]: HTTPMediaDataThread OUT (EOF): filename=[%s]\n", number, conn.path);
                else LogSystemMessage("HTTPDataThread OUT (EOF): filename=[%s]\n", conn.path);
                break;
            }
            int length = static_cast<int>(got);
            conn.current_pos += length;
            if (conn.current_pos > conn.end_pos) {
                length -= static_cast<int>(conn.current_pos - conn.end_pos);
                conn.current_pos = conn.end_pos;
            }
            if (!batch.Add(block, length)) {
                failed = true;
                break;
            }
            int64_t pause_ms = 0;
            if (kind == FileKind::kMedia) {
                double t = 0;
                if (!BlockPcrSeconds(block, length, t)) continue;
                if (!conn.has_pcr) {
                    conn.has_pcr        = true;
                    conn.last_pcr_time  = t;
                    conn.first_pcr_time = t;
                }
                const double interval = t - conn.last_pcr_time;
                conn.last_pcr_time = t;
                conn.elapsed_time  = t - conn.first_pcr_time;
                conn.last_pcr      = static_cast<int64_t>(t * static_cast<double>(kPcrTicksPerSecond));
                if (burst.Take()) continue;
                pause_ms = pcr_sleep.NextMs(interval);
            } else {
                if (burst.Take()) continue;
                pause_ms = pacer.NextMs();
            }
            if (!batch.AddSleep(pause_ms)) {
                failed = true;
                break;
            }
        }
        if (!failed && conn.stop.load() == 0 && !batch.Flush()) failed = true;
        if (failed) error_close = conn.stop.load() != 0;
    }

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

void ServePlainFileOnCommandThread(PlayerConnection& conn)
{
    const int number = ThreadNumber();
    DataThreadScope scope(g_http_service, conn, DataThreadScope::kOnCommandThread);
    ServeFile(conn, FileKind::kPlain, number, scope);
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
