#pragma once
// The real quorvane binary in a temporary working folder, listening for HTTP on a free port
// of 127.0.0.1, with helpers to talk to it over sockets and with curl.

#include "support/process.h"
#include "support/temp_dir.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TestServer {
public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Writes the configuration (httpport is added) and "xan_dns.txt"; starts the server and
    // waits until it runs. extra holds further "key=value\r\n" lines.
    bool Start(const std::string& extra = "");
    // Runs the server through a command (such as {"ip", "netns", "exec", "name"}) from the next Start on.
    void SetCommandPrefix(std::vector<std::string> prefix) { prefix_ = std::move(prefix); }
    // SIGTERM, then the exit code (-1 when it did not end in time).
    int Stop();

    TempWorkDir& Dir() { return dir_; }
    ChildProgram& Process() { return server_; }
    uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const;
    // Sends raw bytes and returns everything the server answers until it closes (or the time
    // runs out).
    std::string Fetch(const std::string& raw, int timeout_ms = 15000) const;
    // Runs curl with args (the URL written as "URL/path" is completed); its standard output.
    std::string Curl(const std::string& args) const;
    // Waits until system.log holds text.
    bool WaitForLog(const std::string& text, int timeout_ms = 15000);

private:
    TempWorkDir  dir_{false};
    ChildProgram server_;
    uint16_t     port_ = 0;
    std::vector<std::string> prefix_;
};

// A blocking TCP connection to port on 127.0.0.1, or -1 when none is made within timeout_ms.
int ConnectLoopback(uint16_t port, int timeout_ms = 5000);
// Sends all of text; false when the connection fails first.
bool SendAllText(int fd, const std::string& text);
// How often part occurs in text (overlapping occurrences counted).
std::size_t Occurrences(const std::string& text, const std::string& part);
// What the peer sends until it closes, or until timeout_ms.
std::string ReadUntilClosed(int fd, int timeout_ms);

// A TCP or UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeTcpPort();
uint16_t FreeUdpPort();
// Runs a shell command; its standard output.
std::string RunShell(const std::string& command);
// A shell command's exit code (-1 when unknown) and what it printed.
struct ShellResult {
    int         code = -1;
    std::string output;
};
// Runs a shell command; its standard output, with its standard error too when with_errors.
ShellResult RunShellWithCode(const std::string& command, bool with_errors = true);
// Whether a program of that name is on the PATH.
bool HaveTool(const std::string& name);
// Whether the page scripts can drive a headless Chromium (chromium, chromedriver, python3-selenium).
bool HaveBrowser();
// An nginx folder in dir ("nginx", with its logs) whose configuration runs one process with the
// RTMP module on 127.0.0.1:port, application "live"; the folder's path. Start it with
// {nginx, "-e", "stderr", "-p", folder + "/", "-c", folder + "/nginx.conf"}.
std::string PrepareNginxRtmp(const TempWorkDir& dir, uint16_t port);
// Writes an MP4 file of a generated clip (lavfi pattern such as "testsrc2", 160x120 at 25 fps)
// with seconds of H.264 with B-frames and a key frame each second, and AAC sound; empty when
// made, else what ffmpeg said. extra goes before the output (e.g. "-movflags frag_keyframe+empty_moov").
std::string MakeMp4Clip(const std::string& path, const std::string& pattern, int seconds, const std::string& extra = "");
// Threads of a process, from /proc.
int ThreadCount(int pid);
// Processor time (user and system, in clock ticks) used so far by the threads of a process
// that carry this name, from /proc.
long ThreadCpuTicks(int pid, const std::string& name);
// Polls done every 20 ms until it holds (true) or timeout_ms has passed (false).
bool WaitUntil(const std::function<bool()>& done, int timeout_ms);
