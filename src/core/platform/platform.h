#pragma once
// The only place that knows the server runs on Linux: ticks, sleeping, the debugger output,
// local time, directory listing, gates, the process stop event, the console status display
// with its destroy message, and child processes.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

// Milliseconds since an arbitrary fixed point; 64-bit monotonic, never wraps.
uint64_t GetTickMs();
// Milliseconds from since_ms to now_ms; 0 when since_ms is the later one (another thread stored
// a newer tick after now_ms was read), never a wrapped-round age.
inline uint64_t TickAgeMs(uint64_t now_ms, uint64_t since_ms) { return now_ms > since_ms ? now_ms - since_ms : 0; }
void SleepMs(uint32_t ms);

// Standard error stands for the debugger output; one call is written in one piece.
void DebugOutput(const char* text, std::size_t length);
// True when the descriptor is /dev/null: what goes there is lost anyway, so a caller may skip
// making it. DebugOutputDiscarded and ConsoleDiscarded ask it once for standard error and
// standard output.
bool IsNullDevice(int fd);
bool DebugOutputDiscarded();
bool ConsoleDiscarded();

// Broken-down local time of `when` (now when 0).
std::tm LocalTime(std::time_t when = 0);

// Current working directory ("" when it cannot be read).
std::string CurrentDirectory();

// The process's file creation mask (as the service manager set it), read without changing it;
// 022 when it cannot be read.
unsigned ProcessUmask();

struct DirEntry {
    std::string name;
    bool        is_directory = false;   // stat says directory
    bool        is_file      = false;   // a regular file stat succeeds on
    int64_t     size         = 0;
};
// Entries of `path` without "." and "..", in the order the file system gives; false when
// the folder cannot be opened.
bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries);

// A manual-reset event: Open releases every waiter until Close.
class Gate {
public:
    void Open();
    void Close();
    bool IsOpen() const { return open_.load(); }
    void Wait();
    bool WaitFor(uint32_t ms);          // true when open
private:
    std::atomic<bool>       open_{false};
    std::mutex              mutex_;
    std::condition_variable changed_;
};

// The process stop event: raised once by shutdown, readable from then on, so that threads
// waiting in poll or sleeping between checks notice shutdown at once instead of after
// their time-outs.
void RaiseProcessStop();
bool ProcessStopRaised();
// The descriptor that turns readable, and stays so, once the process stop is raised (for an
// epoll set that should wake on it).
int ProcessStopEvent();
// Sleeps ms, returns early (false) when the process stop event is raised.
bool SleepUnlessStopping(uint32_t ms);
// poll() on one descriptor that also wakes on the process stop event.
// Returns > 0 ready (revents in *revents when given), 0 time-out or stopping, -1 error.
int PollOne(int fd, short events, int timeout_ms, short* revents = nullptr);

// Waits while `word` still holds `value`, at most timeout_ms (futex): returns when another
// thread changed it and called WakeWaiters, or at the time-out. May return early.
void WaitWhileEqual(std::atomic<int32_t>& word, int32_t value, int timeout_ms);
// Wakes every thread waiting on word.
void WakeWaiters(std::atomic<int32_t>& word);

// A wake event poll() can wait on (readable once signalled, until cleared); -1 when none
// could be made.
int OpenWakeEvent();
void SignalWakeEvent(int event);
void ClearWakeEvent(int event);
void CloseWakeEvent(int event);

// An anonymous file in memory (no name in any folder), read and written like a file; -1 when
// none could be made.
int OpenMemoryFile(const char* label);
// Gives the pages of [offset, offset + length) of a memory file back (the range then reads as
// zeros; pages a socket still holds stay with it). The size is kept. False when not supported.
bool DropFileRange(int fd, int64_t offset, int64_t length);

// Cores this process may run on (its affinity), at least 1.
int UsableCores();

// Process set-up before any thread starts: SIGPIPE and SIGHUP ignored, SIGINT, SIGTERM and
// SIGUSR1 blocked in every thread so that only the main thread takes them.
void PrepareProcessSignals();
// Keeps SIGPIPE from the calling thread for good, for a thread that writes to sockets with
// calls that take no MSG_NOSIGNAL (sendfile): a peer that hung up fails the call with EPIPE.
void BlockPipeSignal();
// Raises the limit of open descriptors to its hard limit, so that a thousand viewers never
// push accept into it. Returns the limit now in force.
uint64_t RaiseOpenFileLimit();
// Caps the C library's heaps at one per core, before any thread starts: what one thread
// allocates and another frees (a viewer's records, handed from its data thread to its
// channel's sender) no longer stays behind in a heap of each thread that ever ran.
void LimitHeapsToCores();
// The "window": prints title, heading and the non-empty status lines to standard output.
// Returns false when standard output cannot be written.
bool ShowStatusDisplay(const char* title, const char* heading, const char* line1, const char* line2);
// The message loop: returns when the destroy message arrives (SIGINT, SIGTERM or
// PostDestroyMessage). SIGUSR1 prints the About text meanwhile.
void WaitForDestroyMessage(const char* about_text);
// Sends the destroy message without waiting for it to be handled; safe from any thread.
void PostDestroyMessage();

struct ChildResult {
    int         exit_code = -1;         // -1 when killed or not started
    bool        timed_out = false;      // killed after the time limit
    bool        truncated = false;      // more output than max_output; the rest was drained
    bool        stopped   = false;      // killed because *stop turned non-zero
    std::string output;                 // standard output and standard error, in arrival order
};
// Runs `program` with `args` (argv[1..]) and exactly the environment `env` in the current
// working directory, collecting at most max_output bytes of its output; kills it after
// timeout_ms, or 5 s after *stop (when given) turned non-zero. Its standard input is input_fd
// (read from where that file stands), or /dev/null for -1; it inherits no other descriptor.
// It runs in its own process group, and a kill ends the whole group. Returns false when it
// could not be started.
bool RunChildProcess(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, std::size_t max_output, int timeout_ms,
                     ChildResult& result, int input_fd = -1, const std::atomic<int32_t>* stop = nullptr);
