#include "support/test_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// The lowest port the system hands out to connections on its own (32768 when unknown).
static unsigned EphemeralFloor()
{
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 32768;
    if (!(range >> low)) low = 32768;
    return low;
}

// Binds a probe to port on 127.0.0.1 (0: one the system picks) and closes it; the port it
// got, or 0 when the bind failed.
static uint16_t Probe(int type, uint16_t port)
{
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port        = htons(port);
    socklen_t length = sizeof address;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

// A port below the ephemeral range, so that no connection of a test running beside this one
// gets it as its own port between this probe and the server's bind. Each process starts at a
// place of its own (from its process number) and steps by 7, so that parallel tests seldom try
// the same ports and no two ports of a test are neighbours (a server may use the next one up).
static uint16_t FreePort(int type)
{
    static std::atomic<unsigned> next{0};
    const unsigned floor = 10000;
    const unsigned ceiling = EphemeralFloor();
    if (ceiling > floor + 1000) {
        const unsigned span = ceiling - floor;
        const unsigned start = static_cast<unsigned>(getpid()) * 37;
        for (int tries = 0; tries < 1000; ++tries) {
            const auto port = static_cast<uint16_t>(floor + (start + 7 * next++) % span);
            if (Probe(type, port) == port) return port;
        }
    }
    return Probe(type, 0);                         // no room below the range: one the system picks
}

uint16_t FreeTcpPort() { return FreePort(SOCK_STREAM); }

uint16_t FreeUdpPort() { return FreePort(SOCK_DGRAM); }

std::string RunShell(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    pclose(pipe);
    return output;
}

ShellResult RunShellWithCode(const std::string& command, bool with_errors)
{
    const std::string marker = "@exit=";
    const std::string text = RunShell("( " + command + " )" + (with_errors ? " 2>&1" : "") + "; echo \"" + marker + "$?\"");
    ShellResult result;
    const std::size_t at = text.rfind(marker);
    result.output = text.substr(0, at);
    if (at != std::string::npos) result.code = std::atoi(text.c_str() + at + marker.size());
    return result;
}

bool HaveTool(const std::string& name) { return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0; }

bool HaveBrowser()
{
    return std::system("test -x /usr/bin/chromium && test -x /usr/bin/chromedriver && "
                       "/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1") == 0;
}

std::string PrepareNginxRtmp(const TempWorkDir& dir, uint16_t port)
{
    dir.MakeDir("nginx");
    dir.MakeDir("nginx/logs");
    dir.WriteFile("nginx/nginx.conf", "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                                      "daemon off;\nmaster_process off;\npid nginx.pid;\nerror_log logs/error.log;\n"
                                      "events { worker_connections 64; }\n"
                                      "rtmp { server { listen 127.0.0.1:" + std::to_string(port) + ";\n"
                                      "  chunk_size 4096;\n  application live { live on; } } }\n");
    return dir.PathOf("nginx");
}

std::string MakeMp4Clip(const std::string& path, const std::string& pattern, int seconds, const std::string& extra)
{
    const ShellResult made = RunShellWithCode(
        "timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i " + pattern + "=size=160x120:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -t " + std::to_string(seconds) + " -c:v libx264 -preset veryfast -bf 2 -g 25 "
        "-b:v 300k -c:a aac -b:a 64k " + (extra.empty() ? "-movflags +faststart" : extra) + " '" + path + "' 2>&1");
    return made.code == 0 ? std::string() : made.output.empty() ? "ffmpeg failed" : made.output;
}

int ThreadCount(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

long ThreadCpuTicks(int pid, const std::string& name)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = opendir(tasks.c_str());
    if (folder == nullptr) return 0;
    long ticks = 0;
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream file(tasks + "/" + entry->d_name + "/stat");
        std::string stat;
        std::getline(file, stat);
        // "tid (name) state" and then, as fields 14 and 15 of the line, user and system time.
        const std::size_t open = stat.find('(');
        const std::size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || stat.compare(open + 1, close - open - 1, name) != 0)
            continue;
        std::istringstream fields(stat.substr(close + 1));
        std::string skipped;
        for (int field = 3; field <= 13; ++field) fields >> skipped;
        long user = 0;
        long system = 0;
        fields >> user >> system;
        ticks += user + system;
    }
    closedir(folder);
    return ticks;
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TestServer::TestServer() = default;

TestServer::~TestServer()
{
    if (server_.Running()) Stop();
    // A sanitizer's report in the server fails the test that ran it, even one that never
    // looked at the server's exit.
    const std::string errors = server_.Stderr();
    for (const char* mark : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        const std::size_t at = errors.find(mark);
        if (at != std::string::npos) {
            ADD_FAILURE() << "the server reported: " << errors.substr(at > 200 ? at - 200 : 0, 6000);
            break;
        }
    }
}

bool TestServer::Start(const std::string& extra)
{
    port_ = FreeTcpPort();
    // A test that names its RTSP port gets it; the others listen on a port of the system's choice.
    const std::string rtsp = extra.find("iptv_base_port=") == std::string::npos ? "iptv_base_port=0\r\n" : "";
    // Multicast is off unless the test names its group; the set-top VOD port is free unless named.
    const std::string igmp = extra.find("igmpip=") == std::string::npos ? "igmpip=0.0.0.0\r\n" : "";
    const std::string vod = extra.find("vod_base_port=") == std::string::npos ? "vod_base_port=0\r\n" : "";
    dir_.WriteFile("quorvane_config.txt", "httpport=" + std::to_string(port_) + "\r\n" + rtsp + vod + igmp +
                                              "system_log=1\r\n" + extra);
    dir_.WriteFile("xan_dns.txt", "<dns_ip>127.0.0.1</dns_ip>\r\n");
    dir_.MakeDir("users");
    if (!dir_.Exists("channel_definition.xml"))
        dir_.WriteFile("channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n");
    std::vector<std::string> command = prefix_;
    command.push_back(QUORVANE_BINARY);
    if (!server_.Start(command, dir_.Path())) return false;
    return server_.WaitForStdout("Quorvane in Running\n", 30000);
}

int TestServer::Stop()
{
    server_.Signal(SIGTERM);
    const int code = server_.WaitExit(30000);
    if (code != 0) {
        // Whatever the server said last (a sanitizer report, for one) explains the exit code.
        const std::string errors = server_.Stderr();
        std::fprintf(stderr, "server exit %d; last output:\n%s\n", code,
                     errors.substr(errors.size() > 8000 ? errors.size() - 8000 : 0).c_str());
    }
    return code;
}

std::string TestServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string TestServer::Fetch(const std::string& raw, int timeout_ms) const
{
    std::string answer;
    const int fd = ConnectLoopback(port_);
    if (fd < 0) return answer;
    if (!raw.empty()) SendAllText(fd, raw);
    answer = ReadUntilClosed(fd, timeout_ms);
    close(fd);
    return answer;
}

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

std::string ReadUntilClosed(int fd, int timeout_ms)
{
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char chunk[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 100) <= 0) continue;
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        answer.append(chunk, static_cast<std::size_t>(got));
    }
    return answer;
}

std::string TestServer::Curl(const std::string& args) const
{
    std::string command = "curl -s --max-time 30 " + args;
    const std::string marker = "URL/";
    for (std::size_t at = command.find(marker); at != std::string::npos; at = command.find(marker, at))
        command.replace(at, marker.size(), Url("/"));
    return RunShell(command);
}

bool TestServer::WaitForLog(const std::string& text, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (dir_.ReadFile("system.log").find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int ConnectLoopback(uint16_t port, int timeout_ms)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        pollfd watch{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (errno != EINPROGRESS || poll(&watch, 1, timeout_ms) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool SendAllText(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}
