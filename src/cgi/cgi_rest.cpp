#include "cgi/cgi_rest.h"

#include "core/platform/platform.h"
#include "core/sockets.h"

#include <cstdlib>
#include <poll.h>
#include <vector>

RestOutcome RestExchange(const RestEndpoint& server, std::string_view request, std::size_t buffer_size,
                         std::string& answer)
{
    answer.clear();
    const int socket = OpenTcpSocket(server.address.c_str(), server.port, 0);
    if (socket < 0) return RestOutcome::kConnectFailed;
    SetSocketTimeouts(socket, 0, kRestAnswerWaitMs);
    if (SendAll(socket, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        CloseSocket(socket);
        return RestOutcome::kReadFailed;
    }
    if (buffer_size == 0) {
        CloseSocket(socket);
        return RestOutcome::kAnswered;
    }
    const uint64_t deadline = GetTickMs() + kRestAnswerWaitMs;
    std::vector<char> chunk(4096);
    RestOutcome outcome = RestOutcome::kAnswered;
    while (answer.size() + 1 < buffer_size) {
        const uint64_t now = GetTickMs();
        if (now >= deadline) {
            outcome = RestOutcome::kReadFailed;
            break;
        }
        pollfd watch{socket, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(std::min<uint64_t>(1000, deadline - now)));
        if (ready < 0) {
            outcome = RestOutcome::kReadFailed;
            break;
        }
        if (ready == 0) continue;
        const std::size_t room = std::min(chunk.size(), buffer_size - 1 - answer.size());
        const ssize_t got = ReceiveBytes(socket, chunk.data(), room, 0);
        if (got < 0) {
            outcome = RestOutcome::kReadFailed;
            break;
        }
        if (got == 0) break;
        answer.append(chunk.data(), static_cast<std::size_t>(got));
    }
    CloseSocket(socket);
    return outcome;
}

std::string ResultStyle(std::string_view answer)
{
    if (answer.find("200 OK") == std::string_view::npos) return "\r\n";
    const std::size_t result = answer.find("result=");
    if (result == std::string_view::npos) return "\r\n\r\n";
    return std::string(answer.substr(result + 7));
}

std::string LengthStyle(std::string_view answer)
{
    if (answer.find("404 Not Found") != std::string_view::npos) return "\r\n";
    const std::size_t head_end = answer.find("\r\n\r\n");
    if (head_end == std::string_view::npos) return "\r\n";
    std::string_view body = answer.substr(head_end + 4);
    const std::size_t length_at = answer.substr(0, head_end).find("Content-Length: ");
    if (length_at != std::string_view::npos) {
        const long long length = std::atoll(std::string(answer.substr(length_at + 16, 20)).c_str());
        if (length >= 0 && static_cast<unsigned long long>(length) < body.size()) body = body.substr(0, static_cast<std::size_t>(length));
    }
    return std::string(body) + "\r\n";
}

std::string ChannelLogStyle(std::string_view answer, std::string_view month, std::string_view day,
                            std::string_view year)
{
    const std::size_t ok = answer.find("200 OK");
    if (ok == std::string_view::npos) return "\n";
    const std::string pattern = std::string(month) + "/" + std::string(day) + "/" + std::string(year);
    std::size_t at = answer.find(pattern, ok);
    if (at == std::string_view::npos) return "";
    std::string out;
    while (at != std::string_view::npos) {
        const std::size_t next = answer.find(pattern, at + pattern.size());
        const std::string_view piece = answer.substr(at, next == std::string_view::npos ? answer.size() - at : next - at);
        const std::size_t blank = piece.find(' ');
        if (blank != std::string_view::npos) out.append(piece.substr(blank));
        at = next;
    }
    return out + "\n";
}
