// N HTTP viewers of one live channel in one epoll loop: bytes per viewer, time to the first
// byte and to the first PAT, and viewers that stalled (no byte for 2 s after their first).
// Usage: live_fanout_client PORT PATH VIEWERS SECONDS SOURCE_BITS_PER_SECOND
//        live_fanout_client rtsp PORT PATH VIEWERS SECONDS SOURCE_BITS_PER_SECOND
//          (RTSP players over TCP: DESCRIBE, SETUP interleaved, PLAY; the TS payload of the
//          RTP packets on channel 0 counts as the body)
//        live_fanout_client udp PORT SECONDS   (the rate a UDP source really delivers)
//        live_fanout_client send FILE BITS_PER_SECOND PORT[,PORT...]
//          (one light sender for many channels: the file's 1316-byte datagrams, looped, to
//          each port at the rate, until killed)

#include <algorithm>
#include <poll.h>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Viewer {
    int         fd = -1;
    double      opened = 0;
    double      first_byte = -1;
    double      first_pat = -1;
    double      last_byte = -1;
    bool        stalled = false;
    bool        closed = false;
    long long   body = 0;           // bytes after the answer's header
    long long   steady_body = 0;    // body bytes after the first third of the run (burst over)
    std::string head;               // until "\r\n\r\n"
    bool        in_body = false;
    int         packet_phase = 0;   // offset of the next packet start in the body
    // RTSP: 0 DESCRIBE sent, 1 SETUP sent, 2 PLAY sent, 3 playing; what is not parsed yet.
    int         rtsp_step = 0;
    std::string rtsp_buffer;
};

void SendText(Viewer& viewer, const std::string& text)
{
    if (send(viewer.fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) viewer.closed = true;
}

// Takes what an RTSP viewer received: replies move it through SETUP and PLAY, RTP packets on
// channel 0 count their payload (the transport stream) as body.
void TakeRtsp(Viewer& viewer, const std::string& url, const char* data, std::size_t length, double now, double steady_from)
{
    viewer.rtsp_buffer.append(data, length);
    std::size_t at = 0;
    std::string& buffer = viewer.rtsp_buffer;
    while (at < buffer.size()) {
        if (buffer[at] == '$') {
            if (buffer.size() - at < 4) break;
            const std::size_t size = static_cast<uint8_t>(buffer[at + 2]) * 256u + static_cast<uint8_t>(buffer[at + 3]);
            if (buffer.size() - at < 4 + size) break;
            if (buffer[at + 1] == 0 && size > 12) {
                const auto* rtp = reinterpret_cast<const uint8_t*>(buffer.data() + at + 4);
                const std::size_t header = 12 + 4u * (rtp[0] & 0x0F);
                if (size > header) {
                    const uint8_t* ts = rtp + header;
                    const long long payload = static_cast<long long>(size - header);
                    if (viewer.first_pat < 0)
                        for (std::size_t p = 0; p + 3 <= size - header; p += 188)
                            if (ts[p] == 0x47 && (((ts[p + 1] & 0x1F) << 8) | ts[p + 2]) == 0) viewer.first_pat = now;
                    if (viewer.first_byte < 0) viewer.first_byte = now;
                    viewer.body += payload;
                    if (now >= steady_from) viewer.steady_body += payload;
                }
            }
            at += 4 + size;
            continue;
        }
        const std::size_t end = buffer.find("\r\n\r\n", at);
        if (end == std::string::npos) break;
        const std::string head = buffer.substr(at, end + 4 - at);
        std::size_t total = end + 4 - at;
        const std::size_t length_at = head.find("Content-Length: ");
        if (length_at != std::string::npos) total += std::strtoul(head.c_str() + length_at + 16, nullptr, 10);
        if (buffer.size() - at < total) break;
        const std::string body = buffer.substr(end + 4, total - (end + 4 - at));
        at += total;
        if (head.compare(0, 15, "RTSP/1.0 200 OK") != 0) {
            std::fprintf(stderr, "refused at step %d: %s\n", viewer.rtsp_step, head.substr(0, head.find('\r')).c_str());
            viewer.closed = true;
            return;
        }
        if (viewer.rtsp_step == 0) {
            // The SDP's control attribute: absolute, or relative to the URL.
            std::string control = url + "/trackID=1";
            const std::size_t c = body.rfind("a=control:");    // the media's, after the session's
            if (c != std::string::npos) {
                const std::string value = body.substr(c + 10, body.find_first_of("\r\n", c) - c - 10);
                if (value.rfind("rtsp://", 0) == 0) control = value;
                else if (value != "*") control = url + "/" + value;
            }
            SendText(viewer, "SETUP " + control + " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
            viewer.rtsp_step = 1;
        } else if (viewer.rtsp_step == 1) {
            const std::size_t s = head.find("Session: ");
            const std::string session = s == std::string::npos ? "" : head.substr(s + 9, head.find_first_of(";\r", s) - s - 9);
            SendText(viewer, "PLAY " + url + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\nRange: npt=0.000-\r\n\r\n");
            viewer.rtsp_step = 2;
        } else {
            viewer.rtsp_step = 3;
        }
    }
    buffer.erase(0, at);
}

// Bits per second arriving on a UDP port of 127.0.0.1 over `seconds`.
int MeasureUdpSource(int port, double seconds)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_port        = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
    std::vector<char> datagram(65536);
    long long bytes = 0;
    double first = -1;
    double last = 0;
    const double start = Now();
    while (Now() - start < seconds) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 100) <= 0) continue;
        const ssize_t got = recv(fd, datagram.data(), datagram.size(), 0);
        if (got <= 0) continue;
        last = Now();
        if (first < 0) {
            first = last;                // counted from the end of the first datagram
            continue;
        }
        bytes += got;
    }
    close(fd);
    std::printf("source_bps=%.0f\n", last > first && first > 0 ? static_cast<double>(bytes) * 8.0 / (last - first) : 0.0);
    return 0;
}

// Sends the file's datagrams to every port of 127.0.0.1 at bits_per_second, looping, for ever.
int SendToPorts(const char* path, double bits_per_second, const std::string& ports)
{
    std::vector<char> file;
    {
        const int in = open(path, O_RDONLY);
        if (in < 0) return 1;
        char chunk[65536];
        for (ssize_t got; (got = read(in, chunk, sizeof chunk)) > 0;) file.insert(file.end(), chunk, chunk + got);
        close(in);
    }
    constexpr std::size_t kDatagram = 1316;
    if (file.size() < kDatagram || bits_per_second <= 0) return 1;
    std::vector<sockaddr_in> targets;
    for (std::size_t at = 0; at < ports.size();) {
        std::size_t end = ports.find(',', at);
        if (end == std::string::npos) end = ports.size();
        sockaddr_in to{};
        to.sin_family      = AF_INET;
        to.sin_port        = htons(static_cast<uint16_t>(std::atoi(ports.substr(at, end - at).c_str())));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        targets.push_back(to);
        at = end + 1;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const double interval = kDatagram * 8.0 / bits_per_second;
    const std::size_t datagrams = file.size() / kDatagram;
    const double start = Now();
    for (long long k = 0;; ++k) {
        const char* data = file.data() + static_cast<std::size_t>(k % static_cast<long long>(datagrams)) * kDatagram;
        for (const sockaddr_in& to : targets)
            sendto(fd, data, kDatagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        const double due = start + static_cast<double>(k + 1) * interval - Now();
        if (due > 0) usleep(static_cast<useconds_t>(due * 1e6));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "send") == 0) return SendToPorts(argv[2], std::atof(argv[3]), argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "udp") == 0) return MeasureUdpSource(std::atoi(argv[2]), std::atof(argv[3]));
    const bool rtsp = argc >= 2 && std::strcmp(argv[1], "rtsp") == 0;
    if (rtsp) {
        ++argv;
        --argc;
    }
    if (argc < 6) return 2;
    const int port = std::atoi(argv[1]);
    // Paths separated by commas: viewer k asks for the k-th modulo their number.
    std::vector<std::string> paths;
    for (std::string rest = argv[2];;) {
        const std::size_t comma = rest.find(',');
        paths.push_back(rest.substr(0, comma));
        if (comma == std::string::npos) break;
        rest.erase(0, comma + 1);
    }
    const int count = std::atoi(argv[3]);
    const double seconds = std::atof(argv[4]);
    const double source_bps = std::atof(argv[5]);
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + paths[0];
    rlimit files{65536, 65536};
    setrlimit(RLIMIT_NOFILE, &files);

    const int poller = epoll_create1(0);
    std::vector<Viewer> viewers(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string& path = paths[static_cast<std::size_t>(i) % paths.size()];
        const std::string request = rtsp ? "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n"
                                         : "GET " + path + " HTTP/1.0\r\n\r\n";
        Viewer& viewer = viewers[static_cast<std::size_t>(i)];
        viewer.fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family      = AF_INET;
        address.sin_port        = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        viewer.opened = Now();
        if (connect(viewer.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            send(viewer.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            viewer.closed = true;
            continue;
        }
        fcntl(viewer.fd, F_SETFL, O_NONBLOCK);
        epoll_event event{};
        event.events   = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(poller, EPOLL_CTL_ADD, viewer.fd, &event);
    }

    const double start = Now();
    const double steady_from = start + seconds / 3;
    std::vector<char> chunk(1 << 16);
    epoll_event events[256];
    while (Now() - start < seconds) {
        const int ready = epoll_wait(poller, events, 256, 100);
        const double now = Now();
        for (int e = 0; e < ready; ++e) {
            Viewer& viewer = viewers[events[e].data.u32];
            for (;;) {
                const ssize_t got = recv(viewer.fd, chunk.data(), chunk.size(), 0);
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                if (got <= 0) {
                    viewer.closed = true;
                    epoll_ctl(poller, EPOLL_CTL_DEL, viewer.fd, nullptr);
                    break;
                }
                if (rtsp) {
                    const long long had = viewer.body;
                    TakeRtsp(viewer, url, chunk.data(), static_cast<std::size_t>(got), now, steady_from);
                    if (viewer.body > had) {
                        if (viewer.last_byte >= 0 && now - viewer.last_byte > 2.0) viewer.stalled = true;
                        viewer.last_byte = now;
                    }
                    continue;
                }
                if (viewer.first_byte < 0) viewer.first_byte = now;
                if (viewer.last_byte >= 0 && now - viewer.last_byte > 2.0) viewer.stalled = true;
                viewer.last_byte = now;
                std::size_t at = 0;
                if (!viewer.in_body) {
                    viewer.head.append(chunk.data(), static_cast<std::size_t>(got));
                    const std::size_t end = viewer.head.find("\r\n\r\n");
                    if (end == std::string::npos) continue;
                    viewer.in_body = true;
                    at = static_cast<std::size_t>(got) - (viewer.head.size() - (end + 4));
                }
                const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.data());
                for (std::size_t p = at + static_cast<std::size_t>(viewer.packet_phase); viewer.first_pat < 0 && p + 3 <= static_cast<std::size_t>(got); p += 188)
                    if (bytes[p] == 0x47 && (((bytes[p + 1] & 0x1F) << 8) | bytes[p + 2]) == 0) viewer.first_pat = now;
                const long long body_bytes = got - static_cast<long long>(at);
                viewer.packet_phase = static_cast<int>((viewer.packet_phase + 188 - body_bytes % 188) % 188);
                viewer.body += body_bytes;
                if (now >= steady_from) viewer.steady_body += body_bytes;
            }
        }
        for (Viewer& viewer : viewers)
            if (!viewer.closed && viewer.last_byte >= 0 && now - viewer.last_byte > 2.0) viewer.stalled = true;
    }
    const double elapsed = Now() - start;

    std::vector<double> rates;
    std::vector<double> steady_rates;
    std::vector<double> first_bytes;
    std::vector<double> first_pats;
    int stalled = 0;
    int closed = 0;
    for (const Viewer& viewer : viewers) {
        if (viewer.fd >= 0) close(viewer.fd);
        rates.push_back(static_cast<double>(viewer.body) * 8.0 / elapsed / source_bps);
        steady_rates.push_back(static_cast<double>(viewer.steady_body) * 8.0 / (start + elapsed - steady_from) / source_bps);
        if (viewer.first_byte >= 0) first_bytes.push_back(viewer.first_byte - viewer.opened);
        if (viewer.first_pat >= 0) first_pats.push_back(viewer.first_pat - viewer.opened);
        stalled += viewer.stalled || viewer.first_byte < 0 || viewer.closed;   // the server's end is a stall too
        closed += viewer.closed;
        if (viewer.body == 0 && !rtsp)
            std::fprintf(stderr, "viewer %zu: no body (%zu bytes of head, first byte %s at %.2f s, last at %.2f s): %.80s\n",
                         static_cast<std::size_t>(&viewer - viewers.data()), viewer.head.size(),
                         viewer.first_byte < 0 ? "never" : "came", viewer.first_byte - viewer.opened,
                         viewer.last_byte - viewer.opened, viewer.head.c_str());
    }
    auto median = [](std::vector<double> values) {
        if (values.empty()) return -1.0;
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double minimum = rates.empty() ? 0 : *std::min_element(rates.begin(), rates.end());
    const double steady_minimum = steady_rates.empty() ? 0 : *std::min_element(steady_rates.begin(), steady_rates.end());
    std::printf("viewers=%d rate_median=%.3f rate_min=%.3f steady_median=%.3f steady_min=%.3f stalled=%d closed=%d "
                "ttfb_median_ms=%.1f first_pat_median_ms=%.1f\n",
                count, median(rates), minimum, median(steady_rates), steady_minimum, stalled, closed,
                median(first_bytes) * 1000, median(first_pats) * 1000);
    return 0;
}
