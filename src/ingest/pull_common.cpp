#include "ingest/pull_common.h"

#include "core/platform/platform.h"
#include "core/server_control.h"
#include "core/sockets.h"
#include "core/text.h"
#include "ingest/input_health.h"
#include "ingest/network_input.h"
#include "ingest/real_buffer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>

bool PullStopping() { return g_channel_reader_stop.load() != 0; }

bool PauseUnlessStopping(uint32_t ms)
{
    const uint64_t until = GetTickMs() + ms;
    while (!PullStopping()) {
        const uint64_t now = GetTickMs();
        if (now >= until) return true;
        if (!SleepUnlessStopping(static_cast<uint32_t>(std::min<uint64_t>(200, until - now)))) return false;
    }
    return false;
}

int ConnectTcp(const char* host, int port, int timeout_ms)
{
    if (port <= 0 || port > 65535) return kNoSocket;
    in_addr dotted{};
    if (inet_pton(AF_INET, host, &dotted) == 1) return ConnectTcpWithin(host, static_cast<uint16_t>(port), timeout_ms, PullStopping);
    // The loader resolves only names written with a port; the others are looked up here, on
    // every attempt, so that a name whose address changes is followed.
    uint8_t address[4];
    if (ResolveHostName(address, host) == 0) return kNoSocket;
    char text[16];
    FormatText(text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return ConnectTcpWithin(text, static_cast<uint16_t>(port), timeout_ms, PullStopping);
}

ssize_t ReceiveWithin(int fd, void* buffer, std::size_t size, int timeout_ms)
{
    if (!WaitReadable(fd, timeout_ms)) return -2;
    return ReceiveBytes(fd, buffer, size, 0);
}

std::string SourceAuthority(const char* src)
{
    std::string_view rest(src);
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
    rest = rest.substr(0, rest.find('/'));
    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) rest.remove_prefix(at + 1);
    return std::string(rest);
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

bool ContainsTextIgnoringCase(std::string_view text, std::string_view word)
{
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
        if (SameTextIgnoringCase(text.substr(i, word.size()), word)) return true;
    return false;
}

std::size_t HeadLength(std::string_view text)
{
    std::size_t end = text.find("\r\n\r\n");
    if (end != std::string_view::npos) return end + 4;
    end = text.find("\n\n");
    return end != std::string_view::npos ? end + 2 : 0;
}

int StatusCode(std::string_view text, std::string_view protocol)
{
    const std::string_view first = text.substr(0, text.find('\n'));
    if (first.size() < protocol.size() + 1 || first.substr(0, protocol.size()) != protocol || first[protocol.size()] != '/')
        return 0;
    const std::size_t space = first.find(' ');
    if (space == std::string_view::npos || first.size() < space + 4) return 0;
    int status = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (first[i] < '0' || first[i] > '9') return 0;
        status = status * 10 + (first[i] - '0');
    }
    const bool ends = first.size() == space + 4 || first[space + 4] == ' ' || first[space + 4] == '\r';
    return ends ? status : 0;
}

static std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

void ForEachHeaderField(std::string_view head, const std::function<void(std::string_view, std::string_view)>& field)
{
    std::size_t at = head.find('\n');
    if (at == std::string_view::npos) return;
    for (++at; at < head.size();) {
        std::size_t line_end = head.find('\n', at);
        if (line_end == std::string_view::npos) line_end = head.size();
        const std::string_view line = head.substr(at, line_end - at);
        at = line_end + 1;
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) field(TrimBlanks(line.substr(0, colon)), TrimBlanks(line.substr(colon + 1)));
    }
}

int64_t DecimalValue(std::string_view text)
{
    if (text.empty() || text.size() > 18) return -1;
    int64_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

void StoreSlot(ChannelRecord& channel, RealBuffer& buffer, const uint8_t* data, int length)
{
    if (length < 1) return;
    const int kept = std::min(length, kRingSlotSize);
    // Only packet-aligned slots carry counters to check (RTMP slots are chunks).
    CountDatagram(ChannelHealth(channel, buffer.channel_index), data, static_cast<std::size_t>(kept), false, GetTickMs(),
                  kept % kTsPacketSize == 0 && data[0] == kTsSyncByte);
    std::memcpy(buffer.slots[channel.input_index.load()].data, data, static_cast<std::size_t>(kept));
    channel.has_input.store(1);
    write_slot(channel, buffer, kept);
}

void TsSlotWriter::Connected()
{
    reblocker_.Reset();
    channel_.reconnect_index.store(channel_.input_index.load());
    clear_on_slot_ = true;
}

void TsSlotWriter::Lost()
{
    channel_.has_input.store(0);
    reconnect_.store(1);
}

void TsSlotWriter::Write(const uint8_t* data, std::size_t length)
{
    reblocker_.Feed(data, length, [this](const uint8_t* block) {
        StoreSlot(channel_, buffer_, block, kTsBlockSize);
        ++slots_;
        if (clear_on_slot_) {
            clear_on_slot_ = false;
            reconnect_.store(0);
        }
    });
}
