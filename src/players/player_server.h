#pragma once
// The set-top player management: the listener of port 6001, each box's registration and
// command threads, the time and checking monitors, the reaper, and the registry queries the
// player REST API makes (find and hold a box, ask it and wait for its answer, reboot it, list
// the players). Boxes live on the shared player list beside the HTTP streams.

#include "net/connection.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

constexpr uint16_t kPlayerManagementPort = 6001;
constexpr uint32_t kPlayerAnswerWaitMs = 10000;     // a box's answer to "QUERY" or a save

// A registered box. Only its command thread receives on the socket; what a REST handler asks
// reaches it through the answer slot, and every write to the socket takes the send lock.
class PlayerBox : public PlayerConnection {
public:
    PlayerBox() = default;
    ~PlayerBox() override;                          // logs the box's end
    // Not freed while a REST handler or a monitor still holds the record.
    bool JoinServiceThreads() override { return holders.load() == 0; }

    CriticalSection      send_lock;                 // every write to the socket; inside the socket-close lock
    std::atomic<int32_t> holders{0};                // taken under the player list lock only
    std::mutex           answer_mutex;              // guards the four below
    std::condition_variable answer_changed;
    bool                 asking = false;            // a question is out: one at a time
    bool                 answer_ready = false;
    bool                 answer_gone = false;       // the command thread has ended
    std::string          answer;
};

extern ConnectionService g_player_service;
// Runs once the management server has stopped (start-up sets the freeing of the token list).
extern void (*g_player_server_stopped)();

int32_t Player_Mangment_Thread(void* unused);
int32_t Player_Data_Createion_Thread(void* connection);
int32_t Process_Player_CommandThread(void* connection);
int32_t NTP_Monitor_Server(void* unused);
int32_t Player_Checking_NTP_Monitor_Server(void* unused);
int32_t Player_Monitor_Server(void* unused);

// 1 when a box with the MAC ID (letter case ignored) is on the player list and active, else 0.
int CheckPlayerIS_ACTIVE(const char* mac_id);
// Finds the first player list entry with the MAC ID (letter case ignored; a stopped box only
// when no other entry has it). True when found; box then holds the record when it is a box
// (null for an HTTP stream). Every held box is given back with ReleasePlayer.
bool FindPlayer(const char* mac_id, PlayerBox*& box);
// Holds every box on the player list.
std::vector<PlayerBox*> HoldAllPlayers();
void ReleasePlayer(PlayerBox* box);

// Sends text whole under the box's send lock; false when its socket is closed or the send failed.
bool SendToPlayer(PlayerBox& box, std::string_view text);
// Sends question and waits up to wait_ms for the box's next message other than a status.
// 1 answered, 0 no answer in time, -1 no socket or the send failed.
int AskPlayer(PlayerBox& box, std::string_view question, std::string& answer, uint32_t wait_ms);
// Stop flag set, activity cleared, and the command thread woken; it closes the socket.
void StopPlayer(PlayerBox& box);
bool PlayerSocketOpen(const PlayerBox& box);
// The player entries of the active boxes and the running HTTP streams, built in one walk.
std::string ListPlayers();
