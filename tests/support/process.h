#pragma once
// Starts a real program (the server, a client) as a child with its output captured, waits for
// what it prints with deadlines, signals it and collects its exit code. A reader thread keeps
// draining both pipes, so a busy child never blocks on a full pipe. The child is killed at the
// end of the test if it still runs.

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class ChildProgram {
public:
    ChildProgram() = default;
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    // Runs argv[0] with argv in workdir. With own_network the child runs in a new network
    // namespace whose loopback is up (for fixed ports and multicast). extra_env entries are
    // added to the environment as "NAME=value".
    bool Start(const std::vector<std::string>& argv, const std::string& workdir, bool own_network = false,
               const std::vector<std::string>& extra_env = {});
    // Waits until standard output (or standard error) holds text; false at the deadline.
    bool WaitForStdout(const std::string& text, int timeout_ms);
    bool WaitForStderr(const std::string& text, int timeout_ms);
    void Signal(int signal_number);
    // The exit code (128 + signal when killed by one), or -1 at the deadline.
    int WaitExit(int timeout_ms);
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    std::string Stdout() const;
    std::string Stderr() const;

private:
    void Read();
    bool WaitFor(const std::string& text, bool from_stdout, int timeout_ms);
    pid_t                   pid_ = -1;
    int                     out_fd_ = -1;
    int                     err_fd_ = -1;
    mutable std::mutex      mutex_;            // guards out_, err_, closed_
    std::condition_variable grew_;
    std::string             out_;
    std::string             err_;
    bool                    closed_ = false;   // both pipes reached their end
    std::thread             reader_;
    int                     exit_code_ = -1;
};

// True when the test may create network namespaces (root with unshare available).
bool CanUseOwnNetwork();

// Moves the calling process into a network namespace of its own with lo up; false when it
// cannot. Call it before any thread starts (a namespace-scope initialiser), so that every thread
// and child shares the namespace.
bool EnterOwnNetwork();
