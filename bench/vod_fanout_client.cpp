// N simulated players of N films in one poll loop: set-top boxes over the VOD protocol
// (request, data port, confirmation) or HTTP players of the same films. Counts the bytes
// each receives and the players that stalled (no byte for 2 s after their first).
// Usage: vod_fanout_client vod|http PORT COUNT SECONDS
// Films are media/videos/f000.ts, f001.ts, ... of the server's working folder.

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

int Connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

// The VOD reply to a request on a fresh control connection: the data port, or -1.
int AskForFilm(int control, const std::string& film)
{
    const std::string request = "VIDEONAME=" + film;
    if (send(control, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return -1;
    pollfd watch{control, POLLIN, 0};
    if (poll(&watch, 1, 10000) <= 0) return -1;
    char reply[256] = "";
    const ssize_t got = recv(control, reply, sizeof reply - 1, 0);
    if (got <= 0) return -1;
    reply[got] = '\0';
    int port = -1;
    return std::sscanf(reply, "tcp_port=%d", &port) == 1 ? port : -1;
}

struct Player {
    int       control = -1;
    int       data = -1;
    double    first_byte = -1;
    double    last_byte = -1;
    bool      stalled = false;
    long long bytes = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: vod_fanout_client vod|http PORT COUNT SECONDS\n");
        return 2;
    }
    const bool vod = std::strcmp(argv[1], "vod") == 0;
    const int port = std::atoi(argv[2]);
    const int count = std::atoi(argv[3]);
    const double seconds = std::atof(argv[4]);
    std::vector<Player> players(static_cast<std::size_t>(count));
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        char film[64];
        std::snprintf(film, sizeof film, "media/videos/f%03d.ts", i);
        Player& p = players[static_cast<std::size_t>(i)];
        if (vod) {
            p.control = Connect(port);
            const int data_port = p.control >= 0 ? AskForFilm(p.control, film) : -1;
            p.data = data_port > 0 ? Connect(data_port) : -1;
            if (p.data >= 0 && send(p.data, "user_confirmation", 17, MSG_NOSIGNAL) != 17) p.data = -1;
        } else {
            p.data = Connect(port);
            const std::string get = std::string("GET /") + film + " HTTP/1.1\r\nHost: x\r\n\r\n";
            if (p.data >= 0 && send(p.data, get.data(), get.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(get.size())) p.data = -1;
        }
        if (p.data < 0) ++failed;
    }
    const double start = Now();
    std::vector<pollfd> watch;
    std::vector<char> buffer(1 << 16);
    while (Now() - start < seconds) {
        watch.clear();
        for (const Player& p : players) watch.push_back({p.data, POLLIN, 0});
        if (poll(watch.data(), watch.size(), 100) < 0) break;
        const double now = Now();
        for (std::size_t i = 0; i < players.size(); ++i) {
            Player& p = players[i];
            if (p.data < 0) continue;
            if ((watch[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t got = recv(p.data, buffer.data(), buffer.size(), 0);
                if (got <= 0) {
                    close(p.data);
                    p.data = -1;
                    continue;
                }
                if (p.first_byte < 0) p.first_byte = now;
                if (p.last_byte >= 0 && now - p.last_byte > 2.0) p.stalled = true;
                p.last_byte = now;
                p.bytes += got;
            } else if (p.last_byte >= 0 && now - p.last_byte > 2.0) {
                p.stalled = true;
            }
        }
    }
    const double elapsed = Now() - start;
    long long total = 0;
    int stalled = 0;
    int ended = 0;
    for (const Player& p : players) {
        total += p.bytes;
        stalled += p.stalled ? 1 : 0;
        ended += p.data < 0 ? 1 : 0;
        if (p.data >= 0) close(p.data);
        if (p.control >= 0) close(p.control);
    }
    std::printf("%s players=%d failed=%d stalled=%d closed_early=%d mean_kbit_s=%.0f\n", argv[1], count, failed, stalled,
                ended - failed, count > 0 ? static_cast<double>(total) * 8.0 / 1000.0 / elapsed / count : 0.0);
    return 0;
}
