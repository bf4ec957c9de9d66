// The RTSP command thread: reads the requests of a connection (however they are split over
// reads), answers them from fixed templates, resolves the media, writes the SDP, negotiates
// the transport with its UDP receive ports, and steers the session's data thread.

#include "rtsp/rtsp_service.h"

#include "channels/archive.h"
#include "channels/channel_table.h"
#include "core/config.h"
#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/service_stats.h"
#include "core/sockets.h"
#include "core/text.h"
#include "core/threads.h"
#include "media/probe.h"
#include "media/served_file.h"
#include "media/ts_timing.h"
#include "rtsp/rtp_framing.h"
#include "rtsp/rtsp_request.h"
#include "users/channel_packages.h"
#include "users/credentials.h"
#include "users/user_db.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::size_t kRequestLimit  = 8192;    // one request's head and body
constexpr std::size_t kReadSize      = 2047;
constexpr int         kMaxBindFailures = 1000;

const char kStatus451[] = "451 Parameter Not Understood";
const char kStatus454[] = "454 Session Not Found";
const char kStatus415[] = "415 Unsupported Media Type";
const char kStatus461[] = "461 Unsupported transport";
const char kStatus455[] = "455 Method Not Valid in This State";

const char kFailOption[]    = "RTSP_CmdThread Send Response Failed for OPTION: Thread[%d]\n";
const char kFailDescribe[]  = "RTSP_CmdThread Send Response Failed for OPTION: Thread[%d], \n";
const char kFailAuthorize[] = "RTSP_CmdThread Send Response Failed for DESCRIBE: Thread[%d], \n";
const char kFailSetup[]     = "RTSP_CmdThread Send Response Failed for SETUP: Thread[%d]\n";
const char kFailPlay[]      = "RTSP_CmdThread Send Response Failed for PLAY: Thread[%d]\n";
const char kFailParameter[] = "RTSP_CmdThread Send Response Failed for PAUSE: Thread[%d]\n";
const char kFailTeardown[]  = "RTSP_CmdThread Send Response Failed for TEARDOWN: Thread[%d]\n";

struct MediaType {
    const char* part;
    const char* encoding;
    int32_t     payload_type;
    uint8_t     media_kind;
};
constexpr MediaType kMediaTypes[] = {
    {".ts", "MP2T", 33, kRtspMediaFile},  {".mpg", "MP2T", 33, kRtspMediaFile}, {".mp4", "H264", 96, kRtspMediaFile},
    {".wmv", "WMV", 33, kRtspMediaFile},  {".ch", "MP2T", 33, kRtspMediaLive},
};
constexpr MediaType kOtherMedia{"", "H264", 33, kRtspMediaFile};


std::string ErrorReply(const char* status) { return FormatString("RTSP/1.0 %s\r\n\r\n", status); }

class CommandThread {
public:
    CommandThread(RtspConnection& conn) : conn_(conn), number_(ThreadNumber()) {}
    void Run();

private:
    bool Send(const std::string& reply, const char* fail_log);
    void Refuse(const char* status, const char* fail_log);
    void Handle(std::string_view request);
    void Options(std::string_view request);
    void Describe(std::string_view request);
    bool Authorize(std::string_view url);
    bool MayWatch(bool stored_file, const std::string& relative);
    bool OpenMedia(const std::string& relative);
    void Setup(std::string_view request);
    bool BindPair(int first_slot);
    void ClosePair(int first_slot);
    bool SessionMatches(std::string_view request) const;
    void Play(std::string_view request);
    void Pause(std::string_view request);
    void GetParameter(std::string_view request);
    void Teardown(std::string_view request);
    void End();

    RtspConnection& conn_;
    const int       number_;
    std::string     url_;                 // of the last DESCRIBE
    std::string     session_head_;        // of the last successful SETUP reply
    bool            first_play_armed_ = false;
    bool            ended_ = false;
};

bool CommandThread::Send(const std::string& reply, const char* fail_log)
{
    LogSystemMessage("RTSP_CmdThread Thread[%d]: Response=[%s]\n", number_, reply.c_str());
    if (SendOnConnection(conn_, reply.data(), reply.size())) return true;
    conn_.stop.store(1);
    LogSystemMessage(fail_log, number_);
    ended_ = true;
    return false;
}

void CommandThread::Refuse(const char* status, const char* fail_log)
{
    if (status == kStatus451 || status == kStatus454) LogSystemMessage("RTSP_CmdThread no CSeq keyword: Thread[%d]\n", number_);
    Send(ErrorReply(status), fail_log);
}

void CommandThread::Handle(std::string_view request)
{
    static constexpr std::string_view kMethods[] = {"TEARDOWN", "GET_PARAMETER", "OPTIONS", "ANNOUNCE",
                                                    "DESCRIBE", "SETUP",         "PLAY",    "PAUSE"};
    std::string_view method;
    for (std::string_view name : kMethods)
        if (request.substr(0, name.size()) == name) {
            method = name;
            break;
        }
    if (method.empty()) return;                       // anything else gets no reply
    const std::string text(request);
    if (method == "PAUSE")
        LogSystemMessage("RTSP_CmdThread Thread[%d]: Command=[%s], Pause at [%f] Sec.\n", number_, text.c_str(),
                         conn_.current_position.load());
    else
        LogSystemMessage("RTSP_CmdThread Thread[%d]: Command=[%s]\n", number_, text.c_str());

    if (!RtspHeaderNumber(request, "CSeq", conn_.cseq)) {
        Refuse(kStatus451, kFailDescribe);
        return;
    }
    if (method == "OPTIONS") Options(request);
    else if (method == "ANNOUNCE") Send(FormatString("RTSP/1.0 200 OK\r\nCSeq: %u\r\n\r\n", conn_.cseq), kFailOption);
    else if (method == "DESCRIBE") Describe(request);
    else if (method == "SETUP") Setup(request);
    else if (method == "PLAY") Play(request);
    else if (method == "PAUSE") Pause(request);
    else if (method == "GET_PARAMETER") GetParameter(request);
    else Teardown(request);
}

void CommandThread::Options(std::string_view /*request*/)
{
    Send(FormatString("RTSP/1.0 200 OK\r\nCSeq: %u\r\nServer: Corvatelix Quorvane7.0\r\n"
                "Public: DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER\r\n\r\n",
                conn_.cseq),
         kFailOption);
}

bool CommandThread::Authorize(std::string_view url)
{
    const std::size_t question = url.find('?');
    if (question == std::string_view::npos) {
        LogSystemMessage("RTSP_CmdThread User and Password format error: Thread[%d]\n", number_);
        Refuse(kStatus451, kFailAuthorize);
        return false;
    }
    const std::string query(url.substr(question + 1));
    ParseQueryCredentials(query.c_str(), g_config.user_separator, g_config.password_separator, conn_.mac_id,
                          conn_.user_name, conn_.password);
    const int checked = CheckUser(conn_.user_name, conn_.password);
    if (checked == 1) return true;
    Bump(checked == 2 ? g_rtsp_stats.refused_expired : g_rtsp_stats.refused_user);
    if (checked == 2)
        LogSystemMessage("RTSP : Thread[%d], User [%s], Password[%s] Time Expired\n", number_, conn_.user_name, conn_.password);
    else
        LogSystemMessage("RTSP : Thread[%d], User [%s], Password[%s] Typing error\n", number_, conn_.user_name, conn_.password);
    Refuse(kStatus451, kFailAuthorize);
    return false;
}

// A live or time-shift channel, or a channel's stored recording, the authorised user holds no
// package of is refused as an unknown user is.
bool CommandThread::MayWatch(bool stored_file, const std::string& relative)
{
    if (!g_config.user_authorization) return true;
    if (stored_file ? UserMayOpenStoredFile(conn_.user_name, relative)
                    : UserMayWatchChannel(conn_.user_name, ChannelNumberOf(conn_.path)))
        return true;
    Bump(g_rtsp_stats.refused_user);
    Refuse(kStatus451, kFailAuthorize);
    return false;
}

// Opens the described file (media kind 1) and measures it. False (451 sent) when it cannot
// be opened, leaves the working directory or is a protected file.
bool CommandThread::OpenMedia(const std::string& relative)
{
    const std::string resolved = ServedFileName(g_server_base_dir, relative);
    const ServedFile file = OpenServedFile(g_server_base_dir, relative);
    if (file.outcome != ServedFileOutcome::kOpened) {
        Bump(g_rtsp_stats.not_found);
        LogSystemMessage("RTSP_CmdThread File Not Found: Thread[%d], Filename [%s]\n", number_, resolved.c_str());
        Refuse(kStatus451, kFailDescribe);
        return false;
    }
    Bump(g_rtsp_stats.accepted);
    conn_.file = file.fd;
    conn_.file_size = file.size;
    conn_.end_pos = file.size;
    const int32_t bitrate = probe_bitrate_kbps(resolved.c_str());
    conn_.bitrate_kbps = bitrate == -1 ? 1000 : bitrate;
    conn_.first_pcr_time = first_pcr_seconds(resolved.c_str());
    if (relative.find(".ts") != std::string::npos)
        conn_.duration = static_cast<float>(vod_duration_seconds(resolved.c_str()));
    return true;
}

void CommandThread::Describe(std::string_view request)
{
    if (conn_.playing.load()) {
        // The data thread streams the described file and reads the session's media fields:
        // a new description would pull them from under it.
        Refuse(kStatus455, kFailDescribe);
        return;
    }
    conn_.duration = 0;
    conn_.described.store(false);
    if (conn_.file >= 0) {                            // a second DESCRIBE: the first one's file goes
        close(conn_.file);
        conn_.file = -1;
    }
    const std::string_view url = RtspUrl(request);
    if (url.size() > kRtspUrlLimit) {
        LogSystemMessage("RTSP_CmdThread File Not Found: Thread[%d], Filename [%s]\n", number_, "(URL too long)");
        Refuse(kStatus451, kFailDescribe);
        return;
    }
    url_.assign(url);
    if (g_config.user_authorization && !Authorize(url)) return;

    std::size_t path_start = 0;
    const std::size_t path_end = RtspMediaPathEnd(url, path_start);
    if (path_end == 0) {
        LogSystemMessage("RTSP_CmdThread File Not Found: Thread[%d], Filename [%s]\n", number_, url_.c_str());
        Refuse(kStatus415, kFailDescribe);
        conn_.stop.store(1);
        ended_ = true;
        return;
    }
    const std::string relative(url.substr(path_start, path_end - path_start));
    const std::string resolved = std::string(g_server_base_dir) + relative;
    if (resolved.size() >= sizeof conn_.path) {
        LogSystemMessage("RTSP_CmdThread File Not Found: Thread[%d], Filename [%s]\n", number_, "(path too long)");
        Refuse(kStatus451, kFailDescribe);
        return;
    }
    CopyText(conn_.path, resolved);
    MediaType type = kOtherMedia;
    for (const MediaType& candidate : kMediaTypes)
        if (relative.find(candidate.part) != std::string::npos) {
            type = candidate;
            break;
        }
    conn_.payload_type = type.payload_type;
    conn_.media_kind.store(type.media_kind);
    if (type.media_kind == kRtspMediaFile && (!MayWatch(true, relative) || !OpenMedia(relative))) return;
    if (type.media_kind == kRtspMediaLive && !MayWatch(false, relative)) return;

    const std::string sdp =
        conn_.duration > 0
            ? FormatString("v=0\r\ns=%s\r\no=Quorvane7.0 906079990 906079991 IN IP4 %s\r\nc=IN IP4 0.0.0.0\r\na=maxps:1300\r\n"
                     "t=0 0\r\nm=video 0 RTP/AVP %d\r\na=control:trackID=1\r\na=rtpmap:%d %s/90000\r\na=range:npt=0-%f\r\n",
                     url_.c_str(), g_rtsp_local_ip, type.payload_type, type.payload_type, type.encoding,
                     static_cast<double>(conn_.duration))
            : FormatString("v=0\r\ns=%s\r\no=Quorvane7.0 906079990 906079991 IN IP4 %s\r\nc=IN IP4 0.0.0.0\r\na=maxps:1300\r\n"
                     "t=0 0\r\nm=video 0 RTP/AVP %d\r\na=control:trackID=1\r\na=rtpmap:%d %s/90000\r\na=range:npt=now-\r\n",
                     url_.c_str(), g_rtsp_local_ip, type.payload_type, type.payload_type, type.encoding);
    conn_.described.store(true);
    Send(FormatString("RTSP/1.0 200 OK\r\nCSeq: %u\r\nServer: Corvatelix Quorvane7.0\r\nContent-base: %s\r\n"
                "Content-Type: %s\r\nContent-Length: %d\r\n\r\n",
                conn_.cseq, url_.c_str(), "application/sdp", static_cast<int>(sdp.size())) +
             sdp,
         kFailDescribe);
}

// Ends the receive threads of a pair that a new SETUP takes over.
void CommandThread::ClosePair(int first_slot)
{
    for (int i = first_slot; i < first_slot + 2; ++i) {
        ThreadRecord* record = conn_.receive_thread[i].exchange(nullptr);
        if (record != nullptr) {
            conn_.receive_quit[i].store(1);
            StopThread(record);
            conn_.receive_quit[i].store(0);
        }
        conn_.receive_state[i].store(kConnThreadJoined);
        CloseReceiveSocket(conn_, i);
    }
}

// Binds the UDP receive sockets of one pair on the next free server ports and starts their
// threads. False after kMaxBindFailures failed binds, or when the session stops.
bool CommandThread::BindPair(int first_slot)
{
    static constexpr ThreadRoutine kRoutines[kRtspReceiveThreads] = {RTP_DataThread_0, RTCP_DataThread_1,
                                                                     RTP_DataThread_2, RTCP_DataThread_3};
    static const char* const kNames[kRtspReceiveThreads] = {"RTPRecv0", "RTCPRecv1", "RTPRecv2", "RTCPRecv3"};
    static const char* const kLogs[kRtspReceiveThreads] = {
        "RTSP_CmdThread : Thread[%d] UDP 0 Socket no. [%d]  Port no [%d]\n",
        "RTSP_CmdThread : Thread[%d] UDP 1 Socket no. [%d]  Port no [%d]\n",
        "RTSP_CmdThread : Thread[%d] UDP 2 Socket no. [%d] Port no [%d]\n",
        "RTSP_CmdThread : Thread[%d] UDP 3 Socket no. [%d] Port no [%d]\n"};
    int failures = 0;
    for (int i = first_slot; i < first_slot + 2; ++i) {
        int fd = -1;
        uint16_t port = 0;
        while (fd < 0) {
            if (failures >= kMaxBindFailures || conn_.stop.load() != 0 || g_rtsp_stop_state.load() != 0) return false;
            // Without address reuse: a port that a channel input (or anything else) holds
            // is skipped, where sharing it would hand the session a copy of every datagram.
            port = NextRtspServerPort();
            fd = OpenExclusiveUdpSocket(port);
            if (fd < 0) ++failures;
        }
        conn_.receive_socket[i].store(fd);
        if (i == first_slot) conn_.server_rtp_port = port;
        else conn_.server_rtcp_port = port;
        LogSystemMessage(kLogs[i], number_, fd, port);
        conn_.receive_state[i].store(kConnThreadRunning);
        ThreadRecord* record = StartThread(kRoutines[i], &conn_, kNames[i]);
        if (record == nullptr) {
            conn_.receive_state[i].store(kConnThreadJoined);
            CloseReceiveSocket(conn_, i);
            return false;
        }
        conn_.receive_thread[i].store(record);
    }
    return true;
}

void CommandThread::Setup(std::string_view request)
{
    if (!conn_.described.load()) {                    // nothing described: nothing to set up
        Refuse(kStatus451, kFailSetup);
        return;
    }
    std::string_view value;
    const RtspTransport transport = RtspHeader(request, "Transport", value) ? ParseRtspTransport(value) : RtspTransport{};
    const bool live = conn_.media_kind.load() == kRtspMediaLive;   // time-shift too: other inputs play live
    if (transport.kind == kRtspTransportNone || (live && !RtspLiveChannelPlayable(ChannelNumberOf(conn_.path)))) {
        LogSystemMessage("RTSP_Unsupported transport: Thread[%d]\n", number_);
        Send(ErrorReply(kStatus461), kFailSetup);
        return;
    }
    std::string head;
    if (transport.kind == kRtspRtpTcp) {
        if (conn_.setup_parity == 0) {
            conn_.session.store(NextRtspSession());
            LogSystemMessage("nSession=[%u]\n", conn_.session.load());
        }
        conn_.setup_parity ^= 1;
        conn_.interleaved_rtp = static_cast<uint8_t>(transport.interleaved_rtp);
        conn_.interleaved_rtcp = static_cast<uint8_t>(transport.interleaved_rtcp);
        const std::string interleave = transport.has_interleaved ? transport.interleave_text : "interleaved=0-1";
        if (g_config.iptv_time_shift_record_duration >= 10)
            head = FormatString("RTSP/1.0 200 OK\r\nSession: %u;timeout=%d\r\nTransport: RTP/AVP/TCP;source=%s;%s\r\n"
                          "Media-Properties: Random-Access=3.2, Time-Progressing,Time-Duration=%f\r\n"
                          "Media-Range: npt=0-20.0\r\n",
                          conn_.session.load(), g_config.rtsp_session_timeout, g_rtsp_local_ip, interleave.c_str(),
                          static_cast<double>(g_config.iptv_time_shift_record_duration));
        else
            head = FormatString("RTSP/1.0 200 OK\r\nSession: %u;timeout=%d\r\nTransport: RTP/AVP/TCP;source=%s;%s\r\n",
                          conn_.session.load(), g_config.rtsp_session_timeout, g_rtsp_local_ip, interleave.c_str());
        conn_.last_pcr_value = 0;
        conn_.last_pcr_time = 0;
    } else {
        if (!transport.has_client_port) {
            LogSystemMessage("RTSP_CmdThread no CSeq keyword: Thread[%d]\n", number_);
            Send(ErrorReply(kStatus461), kFailSetup);
            return;
        }
        conn_.client_rtp_port = transport.client_rtp_port;
        conn_.client_rtcp_port = transport.client_rtcp_port;
        if (conn_.client_rtcp_port == 0) LogSystemMessage("RTSP_CmdThread no Secodn Client Port: Thread[%d]\n", number_);
        if (conn_.setup_parity == 0) {
            conn_.session.store(NextRtspSession());
            LogSystemMessage("nSession=[%u]\n", conn_.session.load());
        }
        const int first_slot = conn_.setup_parity == 0 ? 0 : 2;
        ClosePair(first_slot);                        // a third SETUP takes the first pair over
        if (!BindPair(first_slot)) {
            ClosePair(first_slot);
            Refuse(kStatus451, kFailSetup);
            return;
        }
        head = FormatString("RTSP/1.0 200 OK\r\nSession: %u;timeout=%d\r\nServer: Corvatelix Quorvane7.0\r\nContent-base: %s\r\n"
                      "Transport: RTP/AVP;source=%s;port=%d-%d;client_port=%d-%d;server_port=%d-%d\r\n",
                      conn_.session.load(), g_config.rtsp_session_timeout, url_.c_str(), g_rtsp_local_ip,
                      conn_.client_rtp_port, conn_.client_rtcp_port,
                      conn_.client_rtp_port, conn_.client_rtcp_port, conn_.server_rtp_port, conn_.server_rtcp_port);
        conn_.setup_parity ^= 1;
    }
    conn_.transport.store(transport.kind);
    session_head_ = head;
    const std::string reply = head + FormatString("CSeq: %u\r\n\r\n", conn_.cseq);
    LogSystemMessage("RTSP_CmdThread : Thread[%d], RTSP Response=[%s]\n", number_, reply.c_str());
    if (Send(reply, kFailSetup)) first_play_armed_ = true;
}

bool CommandThread::SessionMatches(std::string_view request) const
{
    uint32_t session = 0;
    return conn_.session.load() != 0 && RtspHeaderNumber(request, "Session", session) && session == conn_.session.load();
}

void CommandThread::Play(std::string_view request)
{
    if (!conn_.described.load()) {
        Refuse(kStatus451, kFailPlay);
        return;
    }
    if (!SessionMatches(request)) {
        Refuse(kStatus454, kFailPlay);
        return;
    }
    std::string_view scale_text;
    if (RtspHeader(request, "Scale", scale_text)) {
        conn_.scale = static_cast<int32_t>(std::strtol(std::string(scale_text).c_str(), nullptr, 10));
        if (conn_.scale > 1) {
            conn_.trick_mode = 1;
            LogSystemMessage("Start Video Forward and Speed=[%d]\n", conn_.scale);
        } else if (conn_.scale < 0) {
            conn_.trick_mode = 2;
            LogSystemMessage("Start Video Backward and Speed=[%d]\n", conn_.scale);
        } else {
            conn_.trick_mode = 0;
            LogSystemMessage("Start Video Normal and Speed=[%d]\n", conn_.scale);
        }
    } else {
        conn_.trick_mode = 0;
        conn_.scale = 1;
        LogSystemMessage("Normal Play\n");
    }
    double start = 0;
    double end = 0;
    bool has_end = false;
    const bool ranged = RtspRange(request, start, has_end, end);
    const double duration = conn_.duration;
    std::string reply;
    if (ranged) {
        conn_.requested_start.store(start);
        LogSystemMessage("RTSP_CmdThread : Thread[%d] [%.3f] Sec.\n", number_, start);
        if (conn_.paused.load() != 0 || start > 0) conn_.seek_request.store(1);
        if (has_end) {
            conn_.end_pos = static_cast<int64_t>(end * conn_.bitrate_kbps * 128);
            LogSystemMessage("RTSP_CmdThread : Thread[%d] [%.3f] Sec., SecPos [%lld] Bytes\n", number_, end,
                             static_cast<long long>(conn_.end_pos));
        }
    } else {
        start = conn_.current_position.load();
    }
    reply = session_head_ + (duration > 0 ? FormatString("Range: npt=%f-%f\r\nCSeq: %u\r\n\r\n", start, duration, conn_.cseq)
                                          : FormatString("Range: npt=%.3f-\r\nCSeq: %u\r\n\r\n", start, conn_.cseq));
    if (conn_.paused.exchange(0) != 0) conn_.wake.Signal();      // resume
    if (!Send(reply, kFailPlay)) return;
    if (first_play_armed_) {
        EnterActiveList(conn_);
        conn_.playing.store(true);
        const int32_t kind = conn_.transport.load();
        if (kind >= kRtspRtpTcp && kind <= kRtspRawUdp) conn_.wake.Signal();
        first_play_armed_ = false;
        LogSystemMessage("RTSP_CmdThread Thread[%d] : First Time to Get Play command\n", number_);
    }
}

void CommandThread::Pause(std::string_view request)
{
    if (!SessionMatches(request)) {
        Refuse(kStatus454, kFailPlay);
        return;
    }
    const std::string reply = session_head_ + FormatString("CSeq: %u\r\n\r\n", conn_.cseq);
    LogSystemMessage("RTSP_CmdThread Thread[%d]: Response=[%s], Pause at [%f] Sec.\n", number_, reply.c_str(),
                     conn_.current_position.load());
    if (Send(reply, kFailPlay)) conn_.paused.store(1);
}

void CommandThread::GetParameter(std::string_view request)
{
    if (!SessionMatches(request)) {
        Refuse(kStatus454, kFailParameter);
        return;
    }
    LogSystemMessage("RTSP_CmdThread : Thread[%d] [%.3f] Sec., FirstPos [%lld] Bytes\n", number_, conn_.last_pcr_time.load(),
                     static_cast<long long>(conn_.byte_position.load()));
    const std::string body = FormatString("position: %.3f", conn_.current_position.load());
    Send(session_head_ + FormatString("CSeq: %u\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n%s", conn_.cseq,
                                "text/parameters", static_cast<int>(body.size()), body.c_str()),
         kFailParameter);
}

void CommandThread::Teardown(std::string_view request)
{
    if (SessionMatches(request)) Send(session_head_ + FormatString("CSeq: %u\r\n\r\n", conn_.cseq), kFailTeardown);
    else Refuse(kStatus454, kFailTeardown);
    conn_.stop.store(1);
    conn_.wake.Signal();
    ended_ = true;
}

void CommandThread::Run()
{
    conn_.cmd_waiting.store(1);
    LogSystemMessage("Wait for STOP command\n");
    conn_.paused.store(0);
    conn_.seek_request.store(0);
    conn_.trick_mode = 0;
    conn_.scale = 1;
    conn_.setup_parity = 0;

    std::string buffered;
    char chunk[kReadSize + 1];
    while (!ended_ && g_rtsp_stop_state.load() == 0 && conn_.stop.load() == 0) {
        std::size_t length = 0;
        const RtspUnit unit = NextRtspUnit(buffered, kRequestLimit, length);
        if (unit == RtspUnit::kRequest || unit == RtspUnit::kInterleaved) {
            if (unit == RtspUnit::kRequest) Handle(std::string_view(buffered).substr(0, length));
            buffered.erase(0, length);
            conn_.last_heard_ms.store(GetTickMs());
            continue;
        }
        if (unit == RtspUnit::kTooLong) {
            LogSystemMessage("RTSP_CmdThread Thread[%d]: request longer than %zu bytes\n", number_, kRequestLimit);
            Send(ErrorReply(kStatus451), kFailDescribe);
            break;
        }
        const int fd = conn_.socket.load();
        if (fd < 0) break;
        const int ready = PollOne(fd, POLLIN, 3000);
        if (ready == 0) {
            // A session that says nothing for the time-out its replies announce is over,
            // unless its stream flows on this connection (a send to a vanished player fails).
            // A paused one gets no stream: it must keep itself alive like any other.
            const int32_t kind = conn_.transport.load();
            const bool streams_here = conn_.playing.load() && conn_.paused.load() == 0 &&
                                      (kind == kRtspRtpTcp || kind == kRtspRawTcp || kind == kRtspTransportNone);
            const uint64_t limit_ms = static_cast<uint64_t>(g_config.rtsp_session_timeout) * 1000;
            if (!streams_here && GetTickMs() - conn_.last_heard_ms.load() > limit_ms) {
                LogSystemMessage("RTSP_CmdThread Thread[%d]: session idle for %d s, closed\n", number_,
                                 g_config.rtsp_session_timeout);
                break;
            }
            continue;
        }
        const ssize_t got = ready < 0 ? -1 : ReceiveBytes(fd, chunk, kReadSize, 0);
        if (got <= 0) {
            LogSystemMessage("Player send a close command\n");
            conn_.stop.store(1);
            conn_.wake.Signal();
            break;
        }
        buffered.append(chunk, static_cast<std::size_t>(got));
    }
    End();
}

void CommandThread::End()
{
    conn_.stop.store(1);
    conn_.wake.Signal();
    LogSystemMessage("RTSP_CmdThread[%d]: Start to Leave RTSP Command Thread \n", number_);
    ReleaseRtspSocket(conn_);
    conn_.cmd_state.store(kConnThreadDone);          // the last access to the connection
    NotifyFinished(g_rtsp_service);
    LogSystemMessage("CmdThread[%d]: Leave RTSP Command Thread\n", number_);
}

}  // namespace

int32_t RTSP_CmdThread(void* connection)
{
    {
        CommandThread thread(*static_cast<RtspConnection*>(connection));
        thread.Run();
    }
    EndThread();
}
