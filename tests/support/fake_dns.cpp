#include "support/fake_dns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FakeDnsServer::FakeDnsServer(Responder responder) : responder_(std::move(responder))
{
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family      = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_   = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

FakeDnsServer::~FakeDnsServer()
{
    stop_ = true;
    thread_.join();
    close(fd_);
}

std::vector<uint8_t> FakeDnsServer::LastQuery() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return last_query_;
}

void FakeDnsServer::Serve()
{
    while (!stop_) {
        pollfd watch{fd_, POLLIN, 0};
        if (poll(&watch, 1, 20) <= 0) continue;
        uint8_t buffer[512];
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
        if (got <= 0) continue;
        std::vector<uint8_t> query(buffer, buffer + got);
        {
            std::lock_guard<std::mutex> held(mutex_);
            last_query_ = query;
        }
        queries_.fetch_add(1);
        const std::vector<uint8_t> reply = responder_(query);
        if (!reply.empty())
            sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_length);
    }
}

std::vector<uint8_t> FakeDnsServer::Answer(const std::vector<uint8_t>& query, const uint8_t address[4], bool cname_first)
{
    std::vector<uint8_t> reply = query;
    reply[2] = 0x81;                             // response, recursion desired
    reply[3] = 0x80;                             // recursion available, no error
    reply[7] = cname_first ? 2 : 1;
    if (cname_first) {
        const uint8_t cname[] = {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 0, 60, 0, 6, 3, 'w', 'w', 'w', 0xC0, 0x0C};
        reply.insert(reply.end(), cname, cname + sizeof cname);
    }
    const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    reply.insert(reply.end(), record, record + sizeof record);
    reply.insert(reply.end(), address, address + 4);
    return reply;
}

std::vector<uint8_t> FakeDnsServer::Error(const std::vector<uint8_t>& query, uint8_t rcode)
{
    std::vector<uint8_t> reply = query;
    reply[2] = 0x81;
    reply[3] = static_cast<uint8_t>(0x80 | rcode);
    return reply;
}
