#pragma once
// A simulated set-top box on the management port 6001 of 127.0.0.1: registers, reports,
// collects what the server sends, and can answer "QUERY" with its settings and a save with
// "RETR_OK". Only for tests that run in their own network namespace.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class SetTopBox {
public:
    explicit SetTopBox(std::string mac_id, std::string group = "g");
    ~SetTopBox();
    SetTopBox(const SetTopBox&) = delete;
    SetTopBox& operator=(const SetTopBox&) = delete;

    // Connects (retrying until timeout_ms) and starts collecting what the server sends.
    bool Connect(int timeout_ms = 5000);
    // " PlayerName=b Password=p Group=<group> MACID=<mac> IPAddr=x"
    std::string Registration() const;
    bool Register() { return Send(Registration()); }
    bool Send(const std::string& text);
    // From now on each new "QUERY" is answered with settings (in two parts, 50 ms apart, when split) and
    // every "SAVE_MACID_SETTING" with "RETR_OK".
    void AnswerQueries(const std::string& settings, bool split = false);
    // Waits until the server has sent text `count` times in all; false at the deadline.
    bool WaitFor(const std::string& text, int timeout_ms, int count = 1);
    // Waits until the server has closed the connection.
    bool WaitClosed(int timeout_ms);
    std::string Received() const;
    // Closes the connection, with a reset when asked.
    void Close(bool reset = false);

private:
    void Read();
    std::string             mac_id_;
    std::string             group_;
    int                     fd_ = -1;
    std::thread             reader_;
    std::atomic<bool>       quit_{false};
    mutable std::mutex      mutex_;             // guards all below and every send
    std::condition_variable grew_;
    std::string             received_;
    bool                    closed_ = false;
    bool                    answering_ = false;
    bool                    split_ = false;
    std::string             settings_;
    int                     queries_seen_ = 0;
    int                     saves_seen_ = 0;
};

// Occurrences of part in text.
int CountOf(const std::string& text, const std::string& part);
