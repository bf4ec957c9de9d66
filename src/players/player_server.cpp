#include "players/player_server.h"

#include "core/log.h"
#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "net/tcp_service.h"
#include "players/player_protocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

// A box silent this long is inactive; the monitors act once per period. Builds for tests may
// shorten both.
#ifndef QUORVANE_PLAYER_IDLE_MS
#define QUORVANE_PLAYER_IDLE_MS 120000
#endif
#ifndef QUORVANE_PLAYER_PERIOD_MS
#define QUORVANE_PLAYER_PERIOD_MS 60000
#endif
static constexpr uint64_t kPlayerIdleMs   = QUORVANE_PLAYER_IDLE_MS;
static constexpr uint32_t kPlayerPeriodMs = QUORVANE_PLAYER_PERIOD_MS;
static constexpr int      kReceiveSliceMs = 1000;    // a command thread looks at its stop flags this often

ConnectionService g_player_service{"Player", &g_player_stop_state, {}, {}, {0}, {}, {-1}};
void (*g_player_server_stopped)() = nullptr;

static CriticalSection      g_player_accept_lock;     // the listener's own lock
static std::atomic<int32_t> g_player_start_failed{0}; // the rest of the server starts anyway
// The time and checking monitors; written by the listener thread only.
static ThreadRecord* g_ntp_monitor_thread = nullptr;
static ThreadRecord* g_checking_monitor_thread = nullptr;

PlayerBox::~PlayerBox()
{
    LogSystemMessage("Player MAC ID[%s]: Accept-[%d]: IPTV Finished \n", mac_id, player_socket);
}

static bool IsActive(const PlayerConnection& conn, uint64_t now)
{
    const uint64_t act = conn.last_activity_tick.load();
    return act != 0 && now - act <= kPlayerIdleMs;
}

bool PlayerSocketOpen(const PlayerBox& box) { return box.socket.load() >= 0; }

bool SendToPlayer(PlayerBox& box, std::string_view text)
{
    ScopedLock held(box.send_lock);
    return SendConnectionText(box, text);
}

// The last user of a box's socket closes it: inside the socket-close lock, and under the send
// lock so that no send is using the descriptor meanwhile.
static void CloseBoxSocket(PlayerBox& box)
{
    ScopedLock closing(g_player_service.socket_close_lock);
    ScopedLock sending(box.send_lock);
    const int fd = box.socket.exchange(-1);
    if (fd >= 0) CloseSocket(fd);
}

void StopPlayer(PlayerBox& box)
{
    box.stop.store(1);
    box.last_activity_tick.store(0);
    // Its receive side only: a box that is still marked active may be sent "REST" before the close.
    WakeSocket(g_player_service, box.socket, SHUT_RD);
}

// Hands a message to a REST handler waiting for one; false when none waits.
static bool DeliverAnswer(PlayerBox& box, const std::string& text)
{
    std::lock_guard<std::mutex> held(box.answer_mutex);
    if (!box.asking || box.answer_ready) return false;
    box.answer = text;
    box.answer_ready = true;
    box.answer_changed.notify_all();
    return true;
}

static void AnswerGone(PlayerBox& box)
{
    std::lock_guard<std::mutex> held(box.answer_mutex);
    box.answer_gone = true;
    box.answer_changed.notify_all();
}

int AskPlayer(PlayerBox& box, std::string_view question, std::string& answer, uint32_t wait_ms)
{
    answer.clear();
    const auto wait = std::chrono::milliseconds(wait_ms);
    {
        // One question at a time: a second one waits for the first one's end.
        std::unique_lock<std::mutex> held(box.answer_mutex);
        if (!box.answer_changed.wait_for(held, wait, [&] { return !box.asking || box.answer_gone; })) return 0;
        if (box.answer_gone) return -1;
        box.asking = true;
        box.answer_ready = false;
        box.answer.clear();
    }
    const bool sent = SendToPlayer(box, question);
    std::unique_lock<std::mutex> held(box.answer_mutex);
    if (sent) box.answer_changed.wait_for(held, wait, [&] { return box.answer_ready || box.answer_gone; });
    const bool got = box.answer_ready;
    if (got) answer.swap(box.answer);
    box.asking = false;
    box.answer_ready = false;
    box.answer_changed.notify_all();
    return got ? 1 : (sent ? 0 : -1);
}

void ReleasePlayer(PlayerBox* box)
{
    if (box == nullptr) return;
    box->holders.fetch_sub(1);
    NotifyFinished(g_player_service);              // the reaper may have been waiting for it
}

bool FindPlayer(const char* mac_id, PlayerBox*& box)
{
    box = nullptr;
    ScopedLock held(g_player_list.lock);
    PlayerConnection* found = nullptr;
    for (Position at = g_player_list.list.GetHeadPosition(); at != nullptr;) {
        auto* conn = static_cast<PlayerConnection*>(g_player_list.list.GetNext(at));
        if (strcasecmp(conn->mac_id, mac_id) != 0) continue;
        if (found == nullptr) found = conn;
        if (conn->stop.load() == 0) {
            found = conn;
            break;
        }
    }
    if (found == nullptr) return false;
    LogSystemMessage("Find List MAC ID =%s\n", found->mac_id);
    box = dynamic_cast<PlayerBox*>(found);
    if (box != nullptr) box->holders.fetch_add(1);
    return true;
}

std::vector<PlayerBox*> HoldAllPlayers()
{
    std::vector<PlayerBox*> boxes;
    ScopedLock held(g_player_list.lock);
    boxes.reserve(static_cast<std::size_t>(g_player_list.list.GetCount()));
    for (Position at = g_player_list.list.GetHeadPosition(); at != nullptr;) {
        auto* box = dynamic_cast<PlayerBox*>(static_cast<PlayerConnection*>(g_player_list.list.GetNext(at)));
        if (box == nullptr) continue;
        box->holders.fetch_add(1);
        boxes.push_back(box);
    }
    return boxes;
}

int CheckPlayerIS_ACTIVE(const char* mac_id)
{
    ScopedLock held(g_player_list.lock);
    for (Position at = g_player_list.list.GetHeadPosition(); at != nullptr;) {
        auto* box = dynamic_cast<PlayerBox*>(static_cast<PlayerConnection*>(g_player_list.list.GetNext(at)));
        if (box == nullptr || strcasecmp(box->mac_id, mac_id) != 0) continue;
        const uint64_t now = GetTickMs();
        const uint64_t act = box->last_activity_tick.load();
        LogSystemMessage("CheckPlayerIS_ACTIVE: Cur=[%lld] Act=[%lld] Time diff=[%lld]\n", static_cast<long long>(now),
                         static_cast<long long>(act), static_cast<long long>(now - act));
        return act != 0 && now - act <= kPlayerIdleMs ? 1 : 0;
    }
    return 0;
}

static void AppendEntry(std::string& body, const PlayerConnection& conn)
{
    body += FormatString("player_mac_id=%s\r\nplayer_time=%s\r\nplayer_ip=%s\r\ngroup=%s\r\n", conn.mac_id,
                         conn.player_time, conn.client_ip, conn.group);
}

std::string ListPlayers()
{
    std::string body;
    const uint64_t now = GetTickMs();
    ScopedLock held(g_player_list.lock);
    for (Position at = g_player_list.list.GetHeadPosition(); at != nullptr;) {
        auto* conn = static_cast<PlayerConnection*>(g_player_list.list.GetNext(at));
        if (auto* box = dynamic_cast<PlayerBox*>(conn)) {
            if (IsActive(*box, now)) AppendEntry(body, *box);
        } else if (std::strcmp(conn->group, "HTTP") == 0 && conn->stop.load() == 0) {
            AppendEntry(body, *conn);
        }
    }
    return body;
}

// Name, password, group, player time and activity from a registration or status. Under the
// player list lock: every walk of the list reads these fields under it.
static void RefreshBox(PlayerBox& box, const PlayerStatusFields& fields)
{
    ScopedLock held(g_player_list.lock);
    CopyText(box.user_name, fields.player_name);
    CopyText(box.password, fields.password);
    CopyText(box.group, fields.group);
    PlayerTimeText(LocalTime(), box.player_time);
    box.last_activity_tick.store(GetTickMs());
}

// Reads the first message within the receive limit; true for a registration with its keys.
static bool ReceiveRegistration(PlayerBox& box, PlayerStatusFields& fields)
{
    PlayerMessageFramer framer(kRegistrationLimit);
    const uint64_t deadline = GetTickMs() + kMessageWaitMs;
    char chunk[kRegistrationLimit];
    for (;;) {
        const uint64_t now = GetTickMs();
        PlayerMessage message;
        if (framer.Next(now, message))
            return message.kind == PlayerMessageKind::kStatus && ParsePlayerStatus(message.text, fields);
        if (now >= deadline || g_player_stop_state.load() != 0) return false;
        int wait = static_cast<int>(deadline - now);
        const int framer_wait = framer.WaitLimitMs(now);
        if (framer_wait >= 0 && framer_wait < wait) wait = framer_wait;
        if (wait > kReceiveSliceMs) wait = kReceiveSliceMs;
        const int fd = box.socket.load();
        const int ready = PollOne(fd, POLLIN, wait);
        if (ready < 0) return false;
        if (ready == 0) continue;
        const std::size_t room = framer.Pending() < sizeof chunk ? sizeof chunk - framer.Pending() : 1;
        const ssize_t got = ReceiveBytes(fd, chunk, room, 0);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        framer.Add(chunk, static_cast<std::size_t>(got), GetTickMs());
    }
}

// A box registering with a MAC ID that is still on the list replaces the earlier entry: its
// command thread is told to end (and, the entry being still marked active, reboots it).
static void ReplaceEarlierBox(PlayerBox& box, const char* mac_id)
{
    ScopedLock held(g_player_list.lock);
    for (Position at = g_player_list.list.GetHeadPosition(); at != nullptr;) {
        auto* other = dynamic_cast<PlayerBox*>(static_cast<PlayerConnection*>(g_player_list.list.GetNext(at)));
        if (other == nullptr || other == &box || strcasecmp(other->mac_id, mac_id) != 0 || !PlayerSocketOpen(*other))
            continue;
        other->stop.store(1);
        WakeSocket(g_player_service, other->socket, SHUT_RD);
        LogSystemMessage("Reconnected\n");
    }
}

// A registration that failed, or a command thread that could not start: the socket closed and
// the record handed to the reaper.
static void EndWithoutCommandThread(PlayerBox& box)
{
    CloseBoxSocket(box);
    LeavePlayerList(box);
    AnswerGone(box);
    box.cmd_state.store(kConnThreadJoined);
    ScopedLock held(g_player_service.finished.lock);
    g_player_service.finished.list.AddTail(&box);
}

int32_t Player_Data_Createion_Thread(void* connection)
{
    {
        auto& box = *static_cast<PlayerBox*>(connection);
        LogSystemMessage("Player_Data_Createion_Thread IN\n");
        PlayerStatusFields fields;
        if (!ReceiveRegistration(box, fields)) {
            EndWithoutCommandThread(box);
        } else {
            ReplaceEarlierBox(box, fields.mac_id);
            CopyText(box.mac_id, fields.mac_id);
            RefreshBox(box, fields);
            char time_text[kPlayerTimeSize + 16];
            FormatText(time_text, "player_time=%s", box.player_time);
            LogSystemMessage("NTP Server Time is %s\n", time_text + std::strlen("player_time"));
            LogSystemMessage("Player_Data_Createion_Thread IN1: MAC ID [%s] time [%s]\n", box.mac_id, box.player_time);
            // On the list before its first time: a box that has the time is registered.
            JoinPlayerList(box);
            SendToPlayer(box, CurrentStatText());
            LogSystemMessage("Player MAC ID[%s]: IP [%s] connected Quorvane\n", box.mac_id, box.client_ip);
            ThreadRecord* command = StartThread(Process_Player_CommandThread, &box, "PlayerCmd");
            if (command != nullptr)
                box.cmd_thread.store(command);
            else
                EndWithoutCommandThread(box);
        }
        LogSystemMessage("Player_Data_Createion_Thread OUT\n");
        box.data_state.store(kConnThreadDone);     // the last access to the record
        NotifyFinished(g_player_service);
    }
    EndThread();
}

static void HandleMessage(PlayerBox& box, const PlayerMessage& message)
{
    if (message.kind == PlayerMessageKind::kStatus) {
        PlayerStatusFields fields;
        if (ParsePlayerStatus(message.text, fields)) {
            RefreshBox(box, fields);               // the MAC ID stays the registered one
            return;
        }
    }
    DeliverAnswer(box, message.text);              // an answer, or nothing anyone waits for
}

// Receives until the box goes, is stopped or the service stops.
static void ServeBox(PlayerBox& box)
{
    PlayerMessageFramer framer(kPlayerAnswerLimit);
    char chunk[kCommandReceiveSize];
    while (g_player_stop_state.load() == 0 && box.stop.load() == 0) {
        const int fd = box.socket.load();
        if (fd < 0) break;
        uint64_t now = GetTickMs();
        PlayerMessage message;
        while (framer.Next(now, message)) HandleMessage(box, message);
        framer.DropStale(now);
        int wait = kReceiveSliceMs;
        const int framer_wait = framer.WaitLimitMs(now);
        if (framer_wait >= 0 && framer_wait < wait) wait = framer_wait;
        const int ready = PollOne(fd, POLLIN, wait);
        if (box.stop.load() != 0 || g_player_stop_state.load() != 0) break;
        if (ready < 0) break;
        if (ready == 0) continue;
        const ssize_t got = ReceiveBytes(fd, chunk, sizeof chunk, 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (got <= 0) {
            // The box closed the connection, or it failed (a reset): no reboot to send.
            if (box.stop.load() == 0) box.last_activity_tick.store(0);
            break;
        }
        now = GetTickMs();
        framer.Add(chunk, static_cast<std::size_t>(got), now);
    }
}

int32_t Process_Player_CommandThread(void* connection)
{
    {
        auto& box = *static_cast<PlayerBox*>(connection);
        LogSystemMessage("Process_Player_CommandThread IN\n");
        box.cmd_start_tick.store(GetTickMs());
        if (!PlayerSocketOpen(box)) {
            LogSystemMessage("Process_Player_CommandThread IN1: MAC ID [%s] socket =0\n", box.mac_id);
        } else if (box.last_activity_tick.load() != 0 && !SendToPlayer(box, CurrentStatText())) {
            box.stop.store(1);
            box.last_activity_tick.store(0);
        }
        ServeBox(box);
        box.stop.store(1);
        if (PlayerSocketOpen(box)) {
            if (box.last_activity_tick.load() != 0) {
                SendToPlayer(box, "REST");
                LogSystemMessage("Process_Player_CommandThread: Reboot MAC ID[%s]\n", box.mac_id);
            }
            CloseBoxSocket(box);
        }
        LeavePlayerList(box);
        AnswerGone(box);
        {
            ScopedLock held(g_player_service.finished.lock);
            g_player_service.finished.list.AddTail(&box);
        }
        LogSystemMessage("Process_Player_CommandThread OUT\n");
        box.cmd_state.store(kConnThreadDone);      // the last access to the record
        NotifyFinished(g_player_service);
    }
    EndThread();
}

// Sleeps ms in short steps; false as soon as the service is stopping.
static bool SleepWhileRunning(uint32_t ms)
{
    const uint64_t deadline = GetTickMs() + ms;
    while (g_player_stop_state.load() == 0) {
        const uint64_t now = GetTickMs();
        if (now >= deadline) return true;
        const uint64_t left = deadline - now;
        SleepUnlessStopping(static_cast<uint32_t>(left < 200 ? left : 200));
    }
    return false;
}

static void SendTimeToPlayers()
{
    for (PlayerBox* box : HoldAllPlayers()) {
        const std::string stat = CurrentStatText();
        box->cmd_start_tick.store(GetTickMs());
        if (!PlayerSocketOpen(*box)) {
            LogSystemMessage("NTP_Monitor_Server IN3: MAC ID [%s] socket =0\n", box->mac_id);
        } else if (box->last_activity_tick.load() != 0 && !SendToPlayer(*box, stat)) {
            StopPlayer(*box);
        }
        ReleasePlayer(box);
    }
}

int32_t NTP_Monitor_Server(void* /*unused*/)
{
    {
        while (SleepWhileRunning(kPlayerPeriodMs)) SendTimeToPlayers();
        LogSystemMessage("NTP_Monitor_Server OUT\n");
    }
    EndThread();
}

static void StopSilentPlayers()
{
    for (PlayerBox* box : HoldAllPlayers()) {
        const uint64_t act = box->last_activity_tick.load();
        if (act != 0 && GetTickMs() - act > kPlayerIdleMs) StopPlayer(*box);
        ReleasePlayer(box);
    }
}

int32_t Player_Checking_NTP_Monitor_Server(void* /*unused*/)
{
    {
        while (SleepWhileRunning(kPlayerPeriodMs)) StopSilentPlayers();
        LogSystemMessage("Player_Checking_NTP_Monitor_Server OUT\n");
    }
    EndThread();
}

int32_t Player_Monitor_Server(void* /*unused*/)
{
    {
        // Every finished box is freed as soon as its threads have ended, not one a minute.
        ServiceMonitor setup;
        setup.service = &g_player_service;
        setup.beat_ms = 10000;
        setup.closed  = "Player_Monitor_Server OUT\n";
        RunServiceMonitor(setup);
    }
    EndThread();
}

// Takes an accepted box: its record and the registration thread.
static void AcceptPlayer(int client, const sockaddr_in& peer)
{
    auto* box = AdoptClient<PlayerBox>(g_player_service, client, peer, "Player_Mangment_Thread IN New Player error\n", 5000);
    if (box == nullptr) return;
    box->player_socket = client;
    ThreadRecord* registration = StartThread(Player_Data_Createion_Thread, box, "PlayerReg");
    if (registration == nullptr) {
        AbandonConnection(g_player_service, *box);
        return;
    }
    box->data_thread.store(registration);
    NotifyFinished(g_player_service);              // in case it ended before its handle was stored
}

static void StartPlayerMonitors()
{
    g_ntp_monitor_thread = StartThread(NTP_Monitor_Server, nullptr, "PlayerNTP");
    g_checking_monitor_thread = StartThread(Player_Checking_NTP_Monitor_Server, nullptr, "PlayerCheck");
}

static void StopPlayerMonitors()
{
    if (g_ntp_monitor_thread != nullptr) StopThread(g_ntp_monitor_thread);
    g_ntp_monitor_thread = nullptr;
    LogSystemMessage("Player_Mangment_Thread OUT1: NTP Management Server Closed\n");
    if (g_checking_monitor_thread != nullptr) StopThread(g_checking_monitor_thread);
    g_checking_monitor_thread = nullptr;
    LogSystemMessage("Player_Checking_NTP_Monitor_Server OUT1: Player Checking NTP Management Server Closed\n");
    if (g_player_server_stopped != nullptr) g_player_server_stopped();
}

int32_t Player_Mangment_Thread(void* /*unused*/)
{
    {
        g_player_start_failed.store(0);
        ServiceListener setup;
        setup.service            = &g_player_service;
        setup.port               = kPlayerManagementPort;
        setup.open_attempts      = 1;
        setup.start_failed       = &g_player_start_failed;
        setup.monitor            = Player_Monitor_Server;
        setup.monitor_name       = "PlayerMonitor";
        setup.accept             = AcceptPlayer;
        setup.accept_lock        = &g_player_accept_lock;
        setup.after_start        = StartPlayerMonitors;
        setup.after_monitor_stop = StopPlayerMonitors;
        setup.open_failed        = "Player Management Server failed\n";
        setup.reuse_failed       = "Player Management Server failed\n";
        setup.starting           = "Player Management Server Starting\n";
        setup.out                = "Player_Mangment_Thread OUT\n";
        RunServiceListener(setup);
    }
    EndThread();
}
