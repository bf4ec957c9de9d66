#pragma once
// A DNS server on 127.0.0.1 for name look-up tests: answers every query with what the
// responder returns (nothing = no answer) and counts the queries it got.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class FakeDnsServer {
public:
    using Responder = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& query)>;
    explicit FakeDnsServer(Responder responder);
    ~FakeDnsServer();
    uint16_t Port() const { return port_; }
    int Queries() const { return queries_.load(); }
    std::vector<uint8_t> LastQuery() const;

    // A well-formed answer to query carrying one A record (optionally after a CNAME).
    static std::vector<uint8_t> Answer(const std::vector<uint8_t>& query, const uint8_t address[4],
                                       bool cname_first = false);
    // The query echoed back with the given response code and no answer.
    static std::vector<uint8_t> Error(const std::vector<uint8_t>& query, uint8_t rcode);

private:
    void Serve();
    Responder            responder_;
    int                  fd_ = -1;
    uint16_t             port_ = 0;
    std::atomic<bool>    stop_{false};
    std::atomic<int>     queries_{0};
    mutable std::mutex   mutex_;               // guards last_query_
    std::vector<uint8_t> last_query_;
    std::thread          thread_;
};
