// The VOD command thread: sleeps until the data thread has the film confirmed and opened,
// then reads the box's commands from the control connection and steers the data thread.

#include "vod/vod_service.h"

#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "core/threads.h"
#include "vod/vod_request.h"

#include <algorithm>
#include <cstring>
#include <poll.h>
#include <string>

namespace {

class CommandSession {
public:
    explicit CommandSession(VodConnection& conn) : conn_(conn), number_(ThreadNumber()) {}
    void Run();

private:
    bool Reply(const char* text, std::size_t length, const char* fail_log);
    bool Reply(const std::string& text, const char* fail_log) { return Reply(text.data(), text.size(), fail_log); }
    void Handle(const ParsedVodCommand& command);
    void Skip(bool forward);
    void End();

    VodConnection& conn_;
    const int      number_;
    bool           ended_ = false;
};

bool CommandSession::Reply(const char* text, std::size_t length, const char* fail_log)
{
    if (SendConnectionText(conn_, text, length)) return true;
    conn_.stop.store(1);
    LogSystemMessage(fail_log, number_, conn_.mac_id);
    return false;
}

// A skip starts from the pending byte target when one is waiting, so that skips sent one
// after the other add up; the data thread only takes the target, it never writes it.
void CommandSession::Skip(bool forward)
{
    ScopedLock held(conn_.lock);
    const bool pending = conn_.seek_state.load() == kVodSeekPending && conn_.seek_by_bytes;
    const int64_t before = pending ? conn_.seek_byte : conn_.byte_position.load();
    const int64_t after = VodSkipTarget(before, conn_.bitrate_kbps.load(), conn_.film_size.load(), forward);
    LogSystemMessage(forward ? "Beofer forward pos %lld\n" : "Beofer backward pos %lld\n", static_cast<long long>(before));
    conn_.seek_by_bytes = true;
    conn_.seek_byte = after;
    conn_.seek_state.store(kVodSeekPending);
    LogSystemMessage(forward ? "After forward pos %lld\n" : "After backward pos %lld\n", static_cast<long long>(after));
}

// Each reply goes out before its effect: an effect may end the session (a seek past the end),
// and the box still gets its answer.
void CommandSession::Handle(const ParsedVodCommand& command)
{
    static constexpr char kOk[] = "OK";
    switch (command.kind) {
    case VodCommand::kNone:
        return;                                    // texts that match no command are ignored
    case VodCommand::kTeardown:
        LogSystemMessage("Player send a TEARDOWN command\n");
        Reply(kOk, 2, "VOD_RTP_UDP_CmdThread Send Response Failed for Teardown: Thread[%d], MAC ID[%s]\n");
        conn_.teardown.store(1);
        conn_.stop.store(1);
        ended_ = true;
        return;
    case VodCommand::kPause:
        conn_.paused.store(1);
        Reply(kOk, 2, "VOD_RTP_UDP_CmdThread Send Response Failed for Pause: Thread[%d], MAC ID[%s]\n");
        return;
    case VodCommand::kResume:
        if (!Reply(kOk, 2, "VOD_RTP_UDP_CmdThread Send Response Failed for Resume: Thread[%d], MAC ID[%s]\n")) return;
        if (conn_.paused.exchange(0) != 0) conn_.wake.Signal();
        return;
    case VodCommand::kBeforeSeek: {
        const double position = conn_.current_position.load();
        LogSystemMessage("BEFORE_SEEK\n");
        LogSystemMessage("Curren Sec.=[%5.3f] Sec.\n", position);
        if (!Reply(FormatString("sec=%5.3f", position),
                   "VOD_RTP_UDP_CmdThread Send Response Failed for BEFORE_SEEK: Thread[%d], MAC ID[%s]\n"))
            return;
        conn_.seek_state.store(kVodSeekReconnect);
        conn_.reconnect.store(1);
        conn_.wake.Signal();                       // out of a pause or a pacing sleep
        return;
    }
    case VodCommand::kSeekTo:
        LogSystemMessage("Curren Sec.=[%5.3f], SEEKTO =[%5.3f] Sec.\n", conn_.current_position.load(), command.seconds);
        if (!Reply(kOk, 2, "VOD_RTP_UDP_CmdThread Send Response Failed for SEEKTO: Thread[%d], MAC ID[%s]\n")) return;
        {
            ScopedLock held(conn_.lock);
            conn_.seek_by_bytes = false;
            conn_.requested_start = command.seconds;
            conn_.seek_state.store(kVodSeekPending);
        }
        return;
    case VodCommand::kForward:
        if (Reply(kOk, 2, "VOD_RTP_UDP_CmdThread Send Response Failed for Forward: Thread[%d], MAC ID[%s]\n")) Skip(true);
        return;
    case VodCommand::kBackward:
        if (Reply(kOk, 2, "VOD_RTP_UDP_CmdThread Send Response Failed for Background: Thread[%d], MAC ID[%s]\n"))
            Skip(false);
        return;
    }
}

void CommandSession::Run()
{
    conn_.cmd_waiting.store(0);
    // Released by the data thread once the film is confirmed and open, or when it ends (its
    // stop flag comes after its last write to the session's texts). The flags decide: the data
    // thread's pacing sleeps share the semaphore and may take a signal.
    while (conn_.film_started.load() == 0 && conn_.stop.load() == 0) conn_.wake.WaitFor(250);
    conn_.cmd_waiting.store(1);
    LogSystemMessage("Wait for STOP command\n");
    conn_.paused.store(0);
    char buffer[kVodMessageSize];
    // A paused session sends nothing on either connection: a box that vanished without a
    // close would keep it for ever. One paused that long without a command is over.
    const uint64_t pause_limit_ms = static_cast<uint64_t>(g_config.vod_pause_timeout) * 1000;
    uint64_t last_command_ms = GetTickMs();
    while (!ended_ && g_vod_stop_state.load() == 0 && conn_.stop.load() == 0) {
        const int fd = conn_.socket.load();
        if (fd < 0) break;
        int wait_ms = 10000;
        if (conn_.paused.load() != 0) {
            const uint64_t quiet_ms = GetTickMs() - last_command_ms;
            if (quiet_ms >= pause_limit_ms) {
                LogSystemMessage("Player MAC ID[%s] Thread[%d]: paused without a command for %d s, closed\n", conn_.mac_id,
                                 number_, g_config.vod_pause_timeout);
                break;
            }
            wait_ms = static_cast<int>(std::min<uint64_t>(pause_limit_ms - quiet_ms, 10000));
        }
        const int ready = PollOne(fd, POLLIN, wait_ms);
        if (ready == 0) continue;
        const ssize_t got = ready < 0 ? -1 : ReceiveBytes(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            conn_.stop.store(1);
            break;
        }
        last_command_ms = GetTickMs();
        Handle(ParseVodCommand(std::string_view(buffer, static_cast<std::size_t>(got))));
    }
    End();
}

void CommandSession::End()
{
    conn_.stop.store(1);
    conn_.wake.Signal();
    // The data thread may be blocked sending to a box that stopped reading.
    WakeSocket(g_vod_service, conn_.data_socket);
    char mac_id[kMacIdSize];
    CopyText(mac_id, conn_.mac_id);
    LogSystemMessage("Player MAC ID[%s] Thread[%d]: VOD_RTP_UDP_CmdThread (Stop Command)\n", mac_id, number_);
    ReleaseSharedSocket(g_vod_service, conn_.socket, conn_.socket_users);
    conn_.cmd_state.store(kConnThreadDone);        // the last access to the connection
    NotifyFinished(g_vod_service);
    LogSystemMessage("Player MAC ID[%s] CmdThread[%d]: Leave VOD Command Thread\n", mac_id, number_);
}

}  // namespace

int32_t VOD_RTP_UDP_CmdThread(void* connection)
{
    {
        CommandSession session(*static_cast<VodConnection*>(connection));
        session.Run();
    }
    EndThread();
}
