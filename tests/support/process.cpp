#include "support/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

ChildProgram::~ChildProgram()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (reader_.joinable()) reader_.join();
}

bool ChildProgram::Start(const std::vector<std::string>& argv, const std::string& workdir, bool own_network,
                         const std::vector<std::string>& extra_env)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return false;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return false;

    std::vector<std::string> command;
    if (own_network) {
        command = {"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                   "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo && exec \"$0\" \"$@\""};
    }
    command.insert(command.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& item : command) args.push_back(item.data());
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** item = environ; *item != nullptr; ++item) env_text.emplace_back(*item);
    env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> env;
    for (std::string& item : env_text) env.push_back(item.data());
    env.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(workdir.c_str()) != 0) _exit(126);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    reader_ = std::thread([this] { Read(); });
    return true;
}

// Reads both pipes until the child (and whatever inherited them) has closed them.
void ChildProgram::Read()
{
    char chunk[8192];
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        pollfd watch[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (poll(watch, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out_fd_ : err_fd_;
            if (fd < 0 || watch[i].revents == 0) continue;
            const ssize_t got = read(fd, chunk, sizeof chunk);
            std::lock_guard<std::mutex> held(mutex_);
            if (got > 0) {
                (i == 0 ? out_ : err_).append(chunk, static_cast<std::size_t>(got));
            } else {
                close(fd);
                fd = -1;
            }
            grew_.notify_all();
        }
    }
    std::lock_guard<std::mutex> held(mutex_);
    closed_ = true;
    grew_.notify_all();
}

bool ChildProgram::WaitFor(const std::string& text, bool from_stdout, int timeout_ms)
{
    std::unique_lock<std::mutex> held(mutex_);
    return grew_.wait_for(held, std::chrono::milliseconds(timeout_ms), [&] {
        return (from_stdout ? out_ : err_).find(text) != std::string::npos || closed_;
    }) && (from_stdout ? out_ : err_).find(text) != std::string::npos;
}

bool ChildProgram::WaitForStdout(const std::string& text, int timeout_ms) { return WaitFor(text, true, timeout_ms); }

bool ChildProgram::WaitForStderr(const std::string& text, int timeout_ms) { return WaitFor(text, false, timeout_ms); }

void ChildProgram::Signal(int signal_number)
{
    if (pid_ > 0) kill(pid_, signal_number);
}

int ChildProgram::WaitExit(int timeout_ms)
{
    if (pid_ <= 0) return exit_code_;
    const long long deadline = NowMs() + timeout_ms;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (reader_.joinable()) reader_.join();
            return exit_code_;
        }
        if (NowMs() >= deadline) return -1;
        usleep(20000);
    }
}

std::string ChildProgram::Stdout() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return out_;
}

std::string ChildProgram::Stderr() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return err_;
}

bool CanUseOwnNetwork()
{
    static const int usable = std::system("unshare -n true >/dev/null 2>&1") == 0 ? 1 : 0;
    return usable == 1;
}

bool EnterOwnNetwork()
{
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::memcpy(request.ifr_name, "lo", 3);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}
