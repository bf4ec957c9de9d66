#include "cgi/cgi_rest.h"

#include "core/platform/platform.h"
#include "core/sockets.h"

#include <algorithm>
#include <cstdlib>
#include <poll.h>
#include <vector>

RestOutcome RestStream(const RestEndpoint& server, std::string_view request, const RestBlockTaker& take)
{
    const int socket = OpenTcpSocket(server.address.c_str(), server.port, 0);
    if (socket < 0) return RestOutcome::kConnectFailed;
    SetSocketTimeouts(socket, 0, kRestAnswerWaitMs);
    if (SendAll(socket, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        CloseSocket(socket);
        return RestOutcome::kReadFailed;
    }
    if (!take) {
        CloseSocket(socket);
        return RestOutcome::kAnswered;
    }
    const uint64_t deadline = GetTickMs() + kRestAnswerWaitMs;
    std::vector<char> chunk(65536);
    RestOutcome outcome = RestOutcome::kAnswered;
    for (;;) {
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
        const ssize_t got = ReceiveBytes(socket, chunk.data(), chunk.size(), 0);
        if (got < 0) {
            outcome = RestOutcome::kReadFailed;
            break;
        }
        if (got == 0 || !take(std::string_view(chunk.data(), static_cast<std::size_t>(got)))) break;
    }
    CloseSocket(socket);
    return outcome;
}

RestOutcome RestExchange(const RestEndpoint& server, std::string_view request, std::size_t buffer_size,
                         std::string& answer)
{
    answer.clear();
    if (buffer_size == 0) return RestStream(server, request, nullptr);
    return RestStream(server, request, [&answer, buffer_size](std::string_view block) {
        answer.append(block.substr(0, buffer_size - 1 - answer.size()));
        return answer.size() + 1 < buffer_size;
    });
}

bool LengthStyleReader::TakeHead(std::string_view block)
{
    const std::size_t searched = head_.size() < 3 ? 0 : head_.size() - 3;
    head_.append(block);
    const std::size_t head_end = head_.find("\r\n\r\n", searched);
    if (head_end == std::string::npos) return head_.size() <= kRestHeadLimit;
    const std::string_view head = std::string_view(head_).substr(0, head_end);
    if (head.find("404 Not Found") != std::string_view::npos) return false;
    const std::size_t length_at = head.find("Content-Length: ");
    if (length_at != std::string_view::npos) left_ = std::max(0LL, std::atoll(std::string(head.substr(length_at + 16, 20)).c_str()));
    in_body_ = true;
    const std::string body = head_.substr(head_end + 4);
    head_.clear();
    head_.shrink_to_fit();
    return Take(body);
}

bool LengthStyleReader::Take(std::string_view block)
{
    if (done_) return false;
    if (!in_body_) {
        done_ = !TakeHead(block);
        return !done_;
    }
    if (left_ >= 0 && static_cast<unsigned long long>(left_) < block.size()) block = block.substr(0, static_cast<std::size_t>(left_));
    if (!block.empty()) emit_(block);
    if (left_ >= 0) left_ -= static_cast<long long>(block.size());
    done_ = left_ == 0;
    return !done_;
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
    std::string out;
    LengthStyleReader reader([&out](std::string_view piece) { out.append(piece); });
    reader.Take(answer);
    reader.Finish();
    return out;
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
