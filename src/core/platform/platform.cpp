#include "core/platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

uint64_t GetTickMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t ms)
{
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void DebugOutput(const char* text, std::size_t length)
{
    // A reader that stopped reading (a full pipe) must never stall the server: the line is
    // dropped instead. Files, terminals and /dev/null are always ready, so only pipes and
    // sockets are asked first (the kind of descriptor is looked at once).
    static const bool may_block = [] {
        struct stat info{};
        return fstat(STDERR_FILENO, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
    }();
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    if (may_block && (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0)) return;
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

bool IsNullDevice(int fd)
{
    struct stat output{};
    struct stat null{};
    return fstat(fd, &output) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(output.st_mode) && output.st_rdev == null.st_rdev;
}

bool DebugOutputDiscarded()
{
    static const bool discarded = IsNullDevice(STDERR_FILENO);
    return discarded;
}

bool ConsoleDiscarded()
{
    static const bool discarded = IsNullDevice(STDOUT_FILENO);
    return discarded;
}

std::tm LocalTime(std::time_t when)
{
    if (when == 0) when = std::time(nullptr);
    std::tm parts{};
    localtime_r(&when, &parts);
    return parts;
}

std::string CurrentDirectory()
{
    char path[4096];
    if (getcwd(path, sizeof path) == nullptr) return std::string();
    return std::string(path);
}

unsigned ProcessUmask()
{
    unsigned mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr)
            if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
        std::fclose(status);
    }
    return mask & 0777;
}

bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries)
{
    DIR* folder = opendir(path.empty() ? "." : path.c_str());
    if (folder == nullptr) return false;
    while (const dirent* item = readdir(folder)) {
        if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) continue;
        DirEntry entry;
        entry.name = item->d_name;
        struct stat info{};
        const std::string full = (path.empty() ? std::string(".") : path) + "/" + entry.name;
        if (stat(full.c_str(), &info) == 0) {
            entry.is_directory = S_ISDIR(info.st_mode);
            entry.is_file      = S_ISREG(info.st_mode);
            entry.size         = static_cast<int64_t>(info.st_size);
        }
        entries.push_back(std::move(entry));
    }
    closedir(folder);
    return true;
}

void Gate::Open()
{
    std::lock_guard<std::mutex> held(mutex_);
    open_.store(true);
    changed_.notify_all();
}

void Gate::Close()
{
    std::lock_guard<std::mutex> held(mutex_);
    open_.store(false);
}

void Gate::Wait()
{
    std::unique_lock<std::mutex> held(mutex_);
    changed_.wait(held, [this] { return open_.load(); });
}

bool Gate::WaitFor(uint32_t ms)
{
    std::unique_lock<std::mutex> held(mutex_);
    return changed_.wait_for(held, std::chrono::milliseconds(ms), [this] { return open_.load(); });
}

// The stop event is an eventfd that is written once and never read, so it stays readable.
static int StopEventFd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}
static std::atomic<bool> g_process_stop{false};

void RaiseProcessStop()
{
    if (g_process_stop.exchange(true)) return;
    const uint64_t one = 1;
    if (write(StopEventFd(), &one, sizeof one) < 0) {
        // The flag alone still ends every wait at its next time-out.
    }
}

uint64_t RaiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 1u << 20 : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return static_cast<uint64_t>(limit.rlim_cur);
}

int UsableCores()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) return CPU_COUNT(&allowed);
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? static_cast<int>(cores) : 1;
}

void LimitHeapsToCores() { mallopt(M_ARENA_MAX, UsableCores()); }

bool ProcessStopRaised() { return g_process_stop.load(); }

int ProcessStopEvent() { return StopEventFd(); }

bool SleepUnlessStopping(uint32_t ms)
{
    if (g_process_stop.load()) return false;
    pollfd watch{StopEventFd(), POLLIN, 0};
    const uint64_t deadline = GetTickMs() + ms;
    for (;;) {
        const uint64_t now = GetTickMs();
        if (now >= deadline) return true;
        const int result = poll(&watch, 1, static_cast<int>(deadline - now));
        if (result > 0 || g_process_stop.load()) return false;
        if (result == 0) return true;
        if (errno != EINTR) {
            SleepMs(static_cast<uint32_t>(deadline - now));
            return !g_process_stop.load();
        }
    }
}

int PollOne(int fd, short events, int timeout_ms, short* revents)
{
    if (revents != nullptr) *revents = 0;
    if (fd < 0) return -1;
    pollfd watch[2] = {{fd, events, 0}, {StopEventFd(), POLLIN, 0}};
    const uint64_t deadline = GetTickMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const uint64_t now = GetTickMs();
            wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        const int result = poll(watch, 2, wait_ms);
        if (result < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (watch[0].revents != 0) {
            if (revents != nullptr) *revents = watch[0].revents;
            if (watch[0].revents & POLLNVAL) return -1;
            return 1;
        }
        return 0;                               // time-out, or the process is stopping
    }
}

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && std::atomic<int32_t>::is_always_lock_free,
              "a futex word is a plain 32-bit integer");

void WaitWhileEqual(std::atomic<int32_t>& word, int32_t value, int timeout_ms)
{
    if (word.load(std::memory_order_acquire) != value) return;
    timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<int32_t*>(&word), FUTEX_WAIT_PRIVATE, value, &timeout, nullptr, 0);
}

void WakeWaiters(std::atomic<int32_t>& word)
{
    syscall(SYS_futex, reinterpret_cast<int32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

int OpenWakeEvent()
{
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

int OpenMemoryFile(const char* label)
{
    return memfd_create(label, MFD_CLOEXEC);
}

bool DropFileRange(int fd, int64_t offset, int64_t length)
{
    return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0;
}

void SignalWakeEvent(int event)
{
    const uint64_t one = 1;
    if (event >= 0 && write(event, &one, sizeof one) < 0) {
        // Full counter or a closed event: the waiter's time-out still ends its wait.
    }
}

void ClearWakeEvent(int event)
{
    uint64_t count = 0;
    if (event >= 0 && read(event, &count, sizeof count) < 0) {
        // Not signalled: nothing to clear.
    }
}

void CloseWakeEvent(int event)
{
    if (event >= 0) close(event);
}

void PrepareProcessSignals()
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    sigset_t taken;
    sigemptyset(&taken);
    sigaddset(&taken, SIGINT);
    sigaddset(&taken, SIGTERM);
    sigaddset(&taken, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    StopEventFd();
}

void BlockPipeSignal()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

bool ShowStatusDisplay(const char* title, const char* heading, const char* line1, const char* line2)
{
    bool written = std::printf("%s\n%s\n", title, heading) > 0;
    if (line1 != nullptr && line1[0] != '\0') written = std::printf("%s\n", line1) > 0 && written;
    if (line2 != nullptr && line2[0] != '\0') written = std::printf("%s\n", line2) > 0 && written;
    return std::fflush(stdout) == 0 && written;
}

static int DestroyEventFd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void PostDestroyMessage()
{
    const uint64_t one = 1;
    if (write(DestroyEventFd(), &one, sizeof one) < 0) {
        // An eventfd write fails only when its counter would overflow: a message is pending.
    }
}

void WaitForDestroyMessage(const char* about_text)
{
    sigset_t taken;
    sigemptyset(&taken);
    sigaddset(&taken, SIGINT);
    sigaddset(&taken, SIGTERM);
    sigaddset(&taken, SIGUSR1);
    const int signals = signalfd(-1, &taken, SFD_CLOEXEC);
    pollfd watch[2] = {{signals, POLLIN, 0}, {DestroyEventFd(), POLLIN, 0}};
    for (;;) {
        const int result = poll(watch, signals >= 0 ? 2 : 1, -1);
        if (result < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watch[1].revents != 0) break;
        if (signals >= 0 && watch[0].revents != 0) {
            signalfd_siginfo info{};
            if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
            if (info.ssi_signo == SIGUSR1) {
                std::printf("%s\n", about_text);
                std::fflush(stdout);
                continue;
            }
            break;                              // SIGINT or SIGTERM
        }
    }
    if (signals >= 0) close(signals);
}

static void KillAndReap(pid_t child, ChildResult& result)
{
    kill(-child, SIGKILL);                      // the program and whatever it started
    kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The caller's stop for a child program, due kGraceMs after it came: a program that asked for
// the stop may still answer.
class ChildStop {
public:
    explicit ChildStop(const std::atomic<int32_t>* stop) : stop_(stop) {}
    // True once the stop came kGraceMs ago.
    bool Due()
    {
        if (stop_ == nullptr || stop_->load() == 0) return false;
        const uint64_t now = GetTickMs();
        if (deadline_ == UINT64_MAX) deadline_ = now + kGraceMs;
        return now >= deadline_;
    }

private:
    static constexpr uint64_t kGraceMs = 5000;
    const std::atomic<int32_t>* stop_;
    uint64_t deadline_ = UINT64_MAX;
};

// Starts program in a process group of its own, stdout and stderr on output_fd, stdin on
// input_fd (or /dev/null when it is negative). Returns posix_spawn's result.
static int SpawnChild(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, int output_fd, int input_fd, pid_t& child)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDERR_FILENO);
    if (input_fd >= 0) posix_spawn_file_actions_adddup2(&actions, input_fd, STDIN_FILENO);
    else posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Sockets and files the server opened without close-on-exec stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The child gets default signal handling and an empty mask, whatever the server blocks.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& item : env) envp.push_back(const_cast<char*>(item.c_str()));
    envp.push_back(nullptr);

    const int spawned = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return spawned;
}

// Keeps up to max_output bytes of what the child writes to fd, until every writer has closed,
// the deadline has passed or the stop is due.
static void CollectChildOutput(int fd, std::size_t max_output, uint64_t deadline, ChildStop& stop,
                               ChildResult& result)
{
    constexpr int kStopCheckMs = 100;
    char chunk[4096];
    for (;;) {
        const uint64_t now = GetTickMs();
        if (now >= deadline) {
            result.timed_out = true;
            break;
        }
        if (stop.Due()) {
            result.stopped = true;
            break;
        }
        pollfd watch{fd, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(std::min<uint64_t>(deadline - now, kStopCheckMs)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;                    // every writer closed: the child has ended
        const std::size_t room = max_output - std::min(max_output, result.output.size());
        if (static_cast<std::size_t>(got) > room) result.truncated = true;
        result.output.append(chunk, std::min(room, static_cast<std::size_t>(got)));
    }
}

// The child's output has closed; gives it the rest of its time to exit, then kills it.
static void AwaitChildExit(pid_t child, uint64_t deadline, ChildStop& stop, ChildResult& result)
{
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 && errno != EINTR) return;
        const bool late = GetTickMs() >= deadline;
        if (late || stop.Due()) {
            result.timed_out = late;
            result.stopped = !late;
            KillAndReap(child, result);
            result.exit_code = -1;
            return;
        }
        SleepMs(5);
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool RunChildProcess(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, std::size_t max_output, int timeout_ms,
                     ChildResult& result, int input_fd, const std::atomic<int32_t>* stop)
{
    ChildStop stopping(stop);
    result = ChildResult();
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    pid_t child = -1;
    const int spawned = SpawnChild(program, args, env, pipe_fds[1], input_fd, child);
    close(pipe_fds[1]);
    if (spawned != 0) {
        close(pipe_fds[0]);
        return false;
    }

    const uint64_t deadline = GetTickMs() + static_cast<uint64_t>(timeout_ms);
    CollectChildOutput(pipe_fds[0], max_output, deadline, stopping, result);
    close(pipe_fds[0]);
    if (result.timed_out || result.stopped) {
        KillAndReap(child, result);
        result.exit_code = -1;
        return true;
    }
    AwaitChildExit(child, deadline, stopping, result);
    return true;
}
