// The VOD data thread: the request phase (the box's request, the user and fee checks, the
// data port and the box's confirmation on it) and the streaming phase (the film paced by its
// PCRs, with pause, time and byte seeks and the reconnection after BEFORE_SEEK).

#include "vod/vod_service.h"

#include "channels/archive.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/service_stats.h"
#include "core/sockets.h"
#include "core/text.h"
#include "core/threads.h"
#include "media/probe.h"
#include "media/served_file.h"
#include "media/ts_file.h"
#include "net/tcp_service.h"
#include "users/movie_fee.h"
#include "users/usage_log.h"
#include "users/user_db.h"
#include "vod/vod_request.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <limits>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int kPortAttempts = 1000;
constexpr int kPollStepMs   = 1000;      // waits are cut into steps that look at the stop flag

// The film's file name in the working directory.
std::string FilmFileName(const char* path) { return ServedFileName(g_server_base_dir, path); }

// Opens a film for reading: -1 when it is missing, not a plain file, outside the working
// directory (a ".." segment, a link out of it) or one of the protected files.
int OpenFilm(const char* path) { return OpenServedFile(g_server_base_dir, path).fd; }

enum class PhaseEnd { kSession, kReconnect };

class DataSession {
public:
    DataSession(VodConnection& conn, DataThreadScope& scope) : conn_(conn), scope_(scope), number_(ThreadNumber()) {}
    void Run();
    void End();

private:
    bool ReceiveRequest(std::string& text);
    void Refuse(const char* reply);
    bool Authorize(const VodRequest& request);
    bool MeasureFilm(const VodRequest& request);
    bool MayWatch();
    bool CheckFee(int& result, int32_t& points, int32_t& fee);
    bool RefusePoints(int result);
    bool OpenDataPort(int& port);
    bool AwaitConfirmation();
    bool StartFilm();
    void Stream();
    PhaseEnd StreamPhase(const TsRing& ring, FilePacer& pacer, int64_t& pos);
    bool Seek(const TsRing& ring, FilePacer& pacer, int64_t& pos);

    VodConnection&   conn_;
    DataThreadScope& scope_;
    const int        number_;
    bool             started_ = false;     // confirmed and opened: listed, watch-logged
};

bool DataSession::ReceiveRequest(std::string& text)
{
    const int fd = conn_.socket.load();
    const uint64_t deadline = GetTickMs() + kVodReceiveWaitMs;
    while (VodSessionRunning(conn_)) {
        const int ready = PollOne(fd, POLLIN, kPollStepMs);
        if (ready < 0) return false;
        if (ready == 0) {
            if (GetTickMs() < deadline) continue;
            LogSystemMessage("Player IP[%s]: no VOD request within %d s\n", conn_.client_ip, kVodReceiveWaitMs / 1000);
            return false;
        }
        char buffer[kVodMessageSize];
        const ssize_t got = ReceiveBytes(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        text.assign(buffer, static_cast<std::size_t>(got));
        return true;
    }
    return false;
}

// An error reply ends the session; one that cannot be sent changes nothing.
void DataSession::Refuse(const char* reply)
{
    const int fd = conn_.socket.load();
    if (fd >= 0) (void)SendAll(fd, reply, std::strlen(reply));
}

bool DataSession::Authorize(const VodRequest& request)
{
    CopyText(conn_.mac_id, request.mac_id);
    if (!request.has_mac_id) {
        Refuse("xancp_error=-1");
        LogSystemMessage("Player MAC ID[%s]: MAC ID not found\n", conn_.mac_id);
        return false;
    }
    LogSystemMessage("MAC ID =[%s], ClientSock=%d connects Quorvane\n", conn_.mac_id, conn_.socket.load());
    if (!request.has_user) {
        Refuse("xancp_error=-2");
        LogSystemMessage("Player MAC ID[%s]: USERNAME not found\n", conn_.mac_id);
        return false;
    }
    if (!request.has_password) {
        Refuse("xancp_error=-3");
        LogSystemMessage("Player MAC ID[%s]: PASSWORD not found\n", conn_.mac_id);
        return false;
    }
    CopyText(conn_.user_name, request.user_name);
    CopyText(conn_.password, request.password);
    // Boxes are registered under their MAC ID; only root signs in by name.
    CopyText(conn_.account, std::strcmp(request.user_name, "root") == 0 ? "root" : conn_.mac_id);
    const int checked = CheckUser(conn_.account, conn_.password);
    if (checked != 1) Bump(checked == 2 ? g_vod_stats.refused_expired : g_vod_stats.refused_user);
    if (checked == 0) {
        Refuse("xancp_error=-4");
        LogSystemMessage("Player MAC ID[%s]: PASSWORD Error [%s]\n", conn_.mac_id, conn_.password);
        return false;
    }
    if (checked == 2) {
        Refuse("xancp_error=-5");
        LogSystemMessage("Player MAC ID[%s]: Time Expired\n", conn_.mac_id);
        return false;
    }
    Bump(g_vod_stats.accepted);
    // Only a request that passed the user check ends the box's running session.
    TakeOverSameBox(conn_);
    return true;
}

bool DataSession::MeasureFilm(const VodRequest& request)
{
    if (!request.has_video) {
        Refuse("xancp_error=-7");
        LogSystemMessage("Player MAC ID[%s]: VIDEONAME not found\n", conn_.mac_id);
        return false;
    }
    CopyText(conn_.path, request.video);
    const int fd = request.video_too_long ? -1 : OpenFilm(conn_.path);
    if (fd >= 0) close(fd);
    const std::string name = FilmFileName(conn_.path);
    conn_.duration_seconds = fd >= 0 ? vod_duration_seconds(name.c_str()) : 0;
    if (conn_.duration_seconds <= 0) {
        Refuse("xancp_error=-6");
        LogSystemMessage("Player MAC ID[%s]: VIDEONAME File =[%s] not found\n", conn_.mac_id, conn_.path);
        return false;
    }
    conn_.duration = static_cast<float>(conn_.duration_seconds);
    conn_.bitrate_kbps.store(probe_bitrate_kbps(name.c_str()));
    return true;
}

// A channel's recording or time-shift file the account holds no package of is refused as a
// wrong password is; films always pass.
bool DataSession::MayWatch()
{
    if (UserMayOpenStoredFile(conn_.account, conn_.path)) return true;
    Refuse("xancp_error=-4");
    LogSystemMessage("Player MAC ID[%s]: no package holds [%s]\n", conn_.mac_id, conn_.path);
    return false;
}

bool DataSession::CheckFee(int& result, int32_t& points, int32_t& fee)
{
    LogSystemMessage("MAC ID =[%s], User =[%s] Password =[%s] Video File =[%s] Bitrate =[%d]\n", conn_.mac_id,
                     conn_.user_name, conn_.password, conn_.path, conn_.bitrate_kbps.load());
    result = CheckUserPoint(conn_.account, conn_.path, points, fee);
    return result >= 0 || RefusePoints(result);
}

// Answers a point check or a charge that failed (the two share their negative codes); false.
bool DataSession::RefusePoints(int result)
{
    if (result == kPointUnknownUser) {
        Refuse("xancp_error=-8");
        LogSystemMessage("Player MAC ID[%s]: No Billing Information[%s]\n", conn_.mac_id, conn_.account);
    } else if (result == kPointUnknownMovie) {
        Refuse("xancp_error=-9");
        LogSystemMessage("Player MAC ID[%s]: Video file [%s] :No Video Billing Information\n", conn_.mac_id, conn_.path);
    } else {
        Refuse("xancp_error=-10");
        LogSystemMessage("Player MAC ID[%s]: Remainder Point is not enough[%s]\n", conn_.mac_id, conn_.account);
    }
    return false;
}

bool DataSession::OpenDataPort(int& port)
{
    for (int attempt = 0; attempt < kPortAttempts && VodSessionRunning(conn_); ++attempt) {
        const int candidate = NextVodDataPort();
        if (candidate <= 0 || candidate > 65535) continue;
        const int fd = OpenTcpSocket(nullptr, static_cast<uint16_t>(candidate), 100);
        if (fd < 0) continue;
        conn_.data_listener.store(fd);
        port = candidate;
        return true;
    }
    LogSystemMessage("Player MAC ID[%s]: no free data port\n", conn_.mac_id);
    return false;
}

// Waits on the session's data port for the box (from the address of its control connection)
// and its one message: true after "user_confirmation".
bool DataSession::AwaitConfirmation()
{
    const uint64_t deadline = GetTickMs() + kVodDataConnectWaitMs;
    for (;;) {
        if (!VodSessionRunning(conn_)) return false;
        if (GetTickMs() >= deadline) {
            LogSystemMessage("Player MAC ID[%s]: no data connection within %d s\n", conn_.mac_id,
                             static_cast<int>(kVodDataConnectWaitMs / 1000));
            return false;
        }
        // Before the streaming starts nobody reads the control connection: its close is seen here.
        if (!started_ && PeerHungUp(conn_.socket.load())) return false;
        int listener = conn_.data_listener.load();
        const int ready = PollOne(listener, POLLIN, kPollStepMs);
        if (ready < 0) {
            LogSystemMessage("Player MAC ID[%s]: Accept_Sock Error =[%d]\n", conn_.mac_id, errno);
            return false;
        }
        if (ready == 0) continue;
        sockaddr_in peer{};
        const int data = AcceptClient(listener, &peer);
        conn_.data_listener.store(listener);
        if (data < 0) {
            LogSystemMessage("Player MAC ID[%s]: Accept_Sock failed =[%d]\n", conn_.mac_id, errno);
            return false;
        }
        if (peer.sin_addr.s_addr != conn_.peer_address) {
            // Only the box that asked may take its stream.
            char address[32] = "";
            inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
            LogSystemMessage("Player MAC ID[%s]: data connection from [%s] refused\n", conn_.mac_id, address);
            CloseSocket(data);
            continue;
        }
        conn_.data_socket.store(data);
        char message[kVodMessageSize] = "";
        ssize_t got = -1;
        if (PollOne(data, POLLIN, kVodReceiveWaitMs) > 0) got = ReceiveBytes(data, message, sizeof message - 1, 0);
        message[got > 0 ? got : 0] = '\0';
        const std::string_view text(message, got > 0 ? static_cast<std::size_t>(got) : 0);
        if (text.substr(0, 17) == "user_confirmation") {
            LogSystemMessage("Player MAC ID[%s]: Confirm Video Selection[%s]\n", conn_.mac_id, conn_.path);
            SetSocketTimeouts(data, 0, 5000);
            return true;
        }
        if (text.substr(0, 17) == "user_cancellation")
            LogSystemMessage("Player MAC ID[%s]: Cancel Video Selection[%s]\n", conn_.mac_id, conn_.path);
        else
            LogSystemMessage("Player MAC ID[%s]: Wrong Response[%s]\n", conn_.mac_id, message);
        return false;
    }
}

// The film is opened before it is charged: a film that cannot be opened costs nothing. The
// charge decides, not the check at the request: another session of the account may have
// spent the points since (the charge never takes more than the balance).
bool DataSession::StartFilm()
{
    const std::string name = FilmFileName(conn_.path);
    const ServedFile film = OpenServedFile(g_server_base_dir, conn_.path);
    conn_.file = film.fd;
    if (conn_.file < 0) {
        LogSystemMessage("open failed for filename=%s\n", name.c_str());
        return false;
    }
    LogSystemMessage("Player MAC ID[%s]: Successfully open filename [%s]\n", conn_.mac_id, name.c_str());
    if (g_config.user_authorization) {
        LogSystemMessage("Charge_User_Point_Process\n");
        const int charged = ChargeUserPoint(conn_.account, conn_.account, conn_.path);
        if (charged < 0) return RefusePoints(charged);
    }
    LogMovieStart(conn_.account, conn_.user_name, conn_.path, static_cast<int32_t>(conn_.duration_seconds),
                  conn_.player_time, sizeof conn_.player_time);
    started_ = true;
    conn_.film_started.store(1);
    conn_.wake.Signal();                           // the command thread starts reading commands
    EnterVodPlayers(conn_);
    conn_.file_size = film.size;
    conn_.end_pos = conn_.file_size;
    conn_.film_size.store(conn_.file_size);
    int32_t bitrate = probe_bitrate_kbps(name.c_str());
    if (bitrate <= 0) bitrate = 1000;
    conn_.bitrate_kbps.store(bitrate);
    LogSystemMessage("Bitrate=[%d]\n", bitrate);
    conn_.first_pcr_time = first_pcr_seconds(name.c_str());
    LogSystemMessage("Current PCR Second=[%5.3f]\n", conn_.first_pcr_time);
    conn_.last_pcr_time.store(conn_.first_pcr_time);
    return true;
}

// Applies the pending seek: false when no PAT follows the target (the film is over).
bool DataSession::Seek(const TsRing& ring, FilePacer& pacer, int64_t& pos)
{
    bool by_bytes = false;
    double requested = 0;
    int64_t byte_target = 0;
    {
        ScopedLock held(conn_.lock);
        uint8_t pending = kVodSeekPending;
        if (!conn_.seek_state.compare_exchange_strong(pending, kVodSeekNone)) return true;
        by_bytes = conn_.seek_by_bytes;
        requested = conn_.requested_start;
        byte_target = conn_.seek_byte;
    }
    const double current = conn_.current_position.load();
    const int32_t bitrate = conn_.bitrate_kbps.load();
    LogSystemMessage("DataThread[%d]: Pos1=%lld \n", number_, static_cast<long long>(pos));
    LogSystemMessage("Current Sec.=[%5.3f] ", current);
    LogSystemMessage("Seek Sec.=[%5.3f] ", requested);
    LogSystemMessage("ddiff=[%5.3f]\n", requested - current);
    const int64_t end = std::max<int64_t>(conn_.end_pos, 0);
    int64_t target = byte_target;
    if (!by_bytes) {
        // In doubles first: a huge start must not overflow the byte count.
        target = static_cast<int64_t>(std::clamp(requested * 128.0 * bitrate, 0.0, static_cast<double>(end)));
        LogSystemMessage("DataThread[%d]: Pos_Seek=%lld\n", number_, static_cast<long long>(target));
    }
    target -= target % kTsPacketSize;
    target = std::clamp<int64_t>(target, 0, end - end % kTsPacketSize);
    LogSystemMessage("DataThread[%d]: Seek POS=[%lld]\n", number_, static_cast<long long>(target));
    const bool timed = !by_bytes && requested > 0;
    pacer.Seeked(timed ? requested : 0);
    if (timed) {
        LogSystemMessage("DataThread[%d]: Pos_Seek=%lld ", number_, static_cast<long long>(target));
        LogSystemMessage("Current Seconds=[%5.3f]\n", requested);
    }
    const double wanted = (conn_.first_pcr_time + (timed ? requested : 0)) * static_cast<double>(kPcrTicksPerSecond);
    const int64_t wanted_ticks = wanted < 9.0e18 ? static_cast<int64_t>(std::max(wanted, 0.0)) : std::numeric_limits<int64_t>::max();
    const StopTest stopped = [this] { return !VodSessionRunning(conn_); };
    const SeekPoint point = timed ? FindSeekPoint(ring, wanted_ticks, target, stopped)
                                  : SeekPointFrom(ring, target, wanted_ticks, stopped);
    if (point.pcr_found)
        LogSystemMessage("Find New Seek Pos=[%5.3f]\n",
                         static_cast<double>(point.pcr_ticks) / static_cast<double>(kPcrTicksPerSecond));
    if (!point.pat_found) {
        LogSystemMessage("SeekTO: Do not Find PAT\n");
        return false;
    }
    LogSystemMessage("Find PAT\n");
    pos = point.pat_at;                            // the stream goes on with that PAT
    conn_.byte_position.store(pos);
    return true;
}

// Chunks go out in paced batches (one send and one sleep per 100 ms of film, as the HTTP file
// streamer does) instead of a send and a sleep per 1316 bytes; what is queued goes out before a
// pause, a seek or the end, so the box has every byte read up to there.
PhaseEnd DataSession::StreamPhase(const TsRing& ring, FilePacer& pacer, int64_t& pos)
{
    PacedBatch batch([this](const uint8_t* data, int length) {
        const int fd = conn_.data_socket.load();
        if (fd < 0 || SendAll(fd, data, static_cast<std::size_t>(length)) != length) return false;
        CountSent(conn_, static_cast<std::size_t>(length));
        return true;
    });
    const auto failed = [this] {
        if (conn_.reconnect.load() != 0) {
            LogSystemMessage("Player MAC ID[%s]: Player is seeking [%d]\n", conn_.mac_id, errno);
            return PhaseEnd::kReconnect;
        }
        LogSystemMessage("Player MAC ID[%s]: errorno is [%d]\n", conn_.mac_id, errno);
        return PhaseEnd::kSession;
    };
    uint8_t chunk[kTsBlockSize];
    while (VodSessionRunning(conn_)) {
        if (conn_.reconnect.load() != 0) return PhaseEnd::kReconnect;
        if (conn_.paused.load() != 0) {
            if (!batch.Flush()) return failed();
            // The semaphore may hold a signal from before the pause: the flag decides.
            conn_.wake.WaitFor(500);
            continue;
        }
        if (conn_.seek_state.load() == kVodSeekPending) {
            if (!batch.Flush()) return failed();
            if (!Seek(ring, pacer, pos)) return PhaseEnd::kSession;
        }
        const ssize_t got = pread(conn_.file, chunk, sizeof chunk, pos);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return batch.Flush() ? PhaseEnd::kSession : failed();     // the end of the film
        pos += got;
        conn_.byte_position.store(pos);
        if (!batch.Add(chunk, static_cast<int>(got))) return failed();
        if (!batch.AddSleep(pacer.Next(chunk, static_cast<int>(got - got % kTsPacketSize)))) return failed();
    }
    return PhaseEnd::kSession;
}

void DataSession::Stream()
{
    const int64_t whole = conn_.file_size - conn_.file_size % kTsPacketSize;
    const TsRing ring(conn_.file, kPlainTsLayout, 0, whole);
    FilePacer pacer(conn_.Clock(), conn_.first_pcr_time);
    int64_t pos = 0;
    while (StreamPhase(ring, pacer, pos) == PhaseEnd::kReconnect) {
        CloseServiceSocket(g_vod_service, conn_.data_socket);
        LogSystemMessage("Start SEEKTO\n");
        if (!AwaitConfirmation()) return;
        conn_.reconnect.store(0);
        uint8_t announced = kVodSeekReconnect;
        conn_.seek_state.compare_exchange_strong(announced, kVodSeekNone);
        pacer.Restart();
    }
}

void DataSession::Run()
{
    conn_.mac_id[0] = '\0';
    std::string text;
    if (!ReceiveRequest(text)) return;
    scope_.Count();
    conn_.byte_position.store(0);
    conn_.last_pcr_time.store(0);
    conn_.current_position.store(0);
    const VodRequest request = ParseVodRequest(text);
    const bool authorize = g_config.user_authorization;
    if (authorize && !Authorize(request)) return;
    if (!authorize) CopyText(conn_.account, conn_.client_ip);
    if (!MeasureFilm(request)) return;
    int fee_result = kPointFreeUser;
    int32_t points = 0;
    int32_t fee = 0;
    if (authorize && (!MayWatch() || !CheckFee(fee_result, points, fee))) return;
    int port = 0;
    if (!OpenDataPort(port)) return;
    const long duration = static_cast<long>(conn_.duration_seconds);
    const int32_t bitrate = conn_.bitrate_kbps.load();
    const std::string reply =
        fee_result == kPointMayWatch
            ? FormatString("tcp_port=%d sec=%ld bitrate=%d user_point=%d movie_point=%d", port, duration, bitrate, points, fee)
            : FormatString("tcp_port=%d sec=%ld bitrate=%d", port, duration, bitrate);
    LogSystemMessage("%s\n", reply.c_str());
    const int control = conn_.socket.load();
    if (control < 0 || SendAll(control, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
        LogSystemMessage("Player MAC ID[%s]: Failed to send tcp_port information to the player\n", conn_.mac_id);
        return;
    }
    LogSystemMessage("Player MAC ID[%s]: Successfully send tcp_port information to the player\n", conn_.mac_id);
    if (!AwaitConfirmation()) return;
    if (!StartFilm()) return;
    Stream();
}

void DataSession::End()
{
    conn_.stop.store(1);
    conn_.wake.Signal();                           // a command thread still waiting ends
    if (started_) LeaveVodPlayers(conn_);
    scope_.HandToMonitor();
    if (started_) LogMovieEnd(conn_.account, conn_.user_name, conn_.path);
    CloseServiceSocket(g_vod_service, conn_.data_socket);
    CloseServiceSocket(g_vod_service, conn_.data_listener);
    ReleaseSharedSocket(g_vod_service, conn_.socket, conn_.socket_users);
    if (conn_.file >= 0) {
        close(conn_.file);
        conn_.file = -1;
    }
    scope_.Uncount();
    LogSystemMessage("Player MAC ID[%s] DataThread[%d]: Leave VOD Data Thread \n", conn_.mac_id, number_);
}

}  // namespace

int32_t VOD_RTP_UDP_DataThread(void* connection)
{
    {
        auto& conn = *static_cast<VodConnection*>(connection);
        DataThreadScope scope(g_vod_service, conn);
        DataSession session(conn, scope);
        session.Run();
        session.End();
    }
    EndThread();
}
