#include "support/set_top_box.h"

#include "support/test_server.h"

#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int CountOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

SetTopBox::SetTopBox(std::string mac_id, std::string group) : mac_id_(std::move(mac_id)), group_(std::move(group)) {}

SetTopBox::~SetTopBox() { Close(); }

bool SetTopBox::Connect(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (fd_ < 0 && std::chrono::steady_clock::now() < deadline) {
        fd_ = ConnectLoopback(6001, 1000);
        if (fd_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fd_ < 0) return false;
    reader_ = std::thread([this] { Read(); });
    return true;
}

std::string SetTopBox::Registration() const
{
    return " PlayerName=b Password=p Group=" + group_ + " MACID=" + mac_id_ + " IPAddr=x";
}

bool SetTopBox::Send(const std::string& text)
{
    std::lock_guard<std::mutex> held(mutex_);
    return fd_ >= 0 && SendAllText(fd_, text);
}

void SetTopBox::AnswerQueries(const std::string& settings, bool split)
{
    std::lock_guard<std::mutex> held(mutex_);
    answering_ = true;
    split_ = split;
    settings_ = settings;
    queries_seen_ = CountOf(received_, "QUERY");      // only those that come from now on
    saves_seen_ = CountOf(received_, "SAVE_MACID_SETTING");
}

void SetTopBox::Read()
{
    char chunk[4096];
    while (!quit_.load()) {
        pollfd watch{fd_, POLLIN, 0};
        if (poll(&watch, 1, 50) <= 0) continue;
        const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
        std::unique_lock<std::mutex> held(mutex_);
        if (got <= 0) {
            closed_ = true;
            grew_.notify_all();
            return;
        }
        received_.append(chunk, static_cast<std::size_t>(got));
        grew_.notify_all();
        if (!answering_) continue;
        // Answers the questions that have come in whole since the last look.
        const int queries = CountOf(received_, "QUERY");
        const int saves = CountOf(received_, "SAVE_MACID_SETTING");
        for (; queries_seen_ < queries; ++queries_seen_) {
            if (!split_ || settings_.size() < 2) {
                SendAllText(fd_, settings_);
                continue;
            }
            SendAllText(fd_, settings_.substr(0, settings_.size() / 2));
            held.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            held.lock();
            SendAllText(fd_, settings_.substr(settings_.size() / 2));
        }
        for (; saves_seen_ < saves; ++saves_seen_) SendAllText(fd_, "RETR_OK");
    }
}

bool SetTopBox::WaitFor(const std::string& text, int timeout_ms, int count)
{
    std::unique_lock<std::mutex> held(mutex_);
    return grew_.wait_for(held, std::chrono::milliseconds(timeout_ms),
                          [&] { return CountOf(received_, text) >= count; });
}

bool SetTopBox::WaitClosed(int timeout_ms)
{
    std::unique_lock<std::mutex> held(mutex_);
    return grew_.wait_for(held, std::chrono::milliseconds(timeout_ms), [&] { return closed_; });
}

std::string SetTopBox::Received() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return received_;
}

void SetTopBox::Close(bool reset)
{
    quit_.store(true);
    if (reader_.joinable()) reader_.join();
    std::lock_guard<std::mutex> held(mutex_);
    if (fd_ < 0) return;
    if (reset) {
        const linger hard{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(fd_);
    fd_ = -1;
}
