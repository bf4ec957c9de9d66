#pragma once
// IPv4 socket helpers shared by every network service and by the admin program.
// Sockets are plain descriptors; -1 means no socket. Everything blocks; callers set
// time-outs where they need them.

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/types.h>

constexpr int kNoSocket = -1;

// Without host: a listening socket on every local address (address reuse on).
// With a dotted host: a socket connected to it. -1 on failure.
[[nodiscard]] int OpenTcpSocket(const char* host, uint16_t port, int backlog);
// A socket connected to a dotted host within timeout_ms; the wait also ends when stopping()
// turns true (asked every 200 ms). The socket is blocking again when returned. -1 on failure.
[[nodiscard]] int ConnectTcpWithin(const char* host, uint16_t port, int timeout_ms, bool (*stopping)());
// The accepted socket, or -1 with errno set. The listening socket is closed (and -1 after)
// only when it is itself at fault (EBADF, EINVAL, ENOTSOCK); after any other failure it still
// listens and the caller backs off before trying again.
[[nodiscard]] int AcceptClient(int& listener, sockaddr_in* peer);
// A client waiting on a non-blocking listening socket, its own socket non-blocking; -1 with
// errno set (EAGAIN: none waiting). Never closes the listening socket, which others share.
[[nodiscard]] int AcceptWaitingClient(int listener, sockaddr_in* peer);
// Puts a socket in blocking (false) or non-blocking (true) mode; false when that failed.
bool SetNonBlocking(int socket, bool on);
// True when the socket's sends and receives never wait (O_NONBLOCK).
bool IsNonBlocking(int socket);
// Holds back partial segments (TCP_CORK) until released or the socket is shut down: a short
// answer and the end of the connection then leave in one segment.
bool SetCork(int socket, bool on);
// Shuts down both directions and closes. Returns 1.
int CloseSocket(int socket);
// What recv/send return; send never raises SIGPIPE.
ssize_t ReceiveBytes(int socket, void* buffer, std::size_t size, int flags);
ssize_t SendBytes(int socket, const void* data, std::size_t length);
// Sends everything (retrying short sends); the bytes sent, or -1 when the peer is gone.
ssize_t SendAll(int socket, const void* data, std::size_t length);
// Mode 0: bound to the port on every address (reuse on); mode 1: unbound, port ignored.
[[nodiscard]] int OpenUdpSocket(int mode, uint16_t port);
// Bound to the port on every address without address reuse: fails while another socket
// holds the port, even one that shares it.
[[nodiscard]] int OpenExclusiveUdpSocket(uint16_t port);
ssize_t ReceiveDatagram(int socket, void* buffer, std::size_t size, int flags, sockaddr_in* from,
                        socklen_t* from_length);
// Receive and send time-outs in milliseconds (0 = none).
void SetSocketTimeouts(int socket, int receive_ms, int send_ms);
// True when the peer of a connected socket has closed its end (or the socket failed), seen
// without waiting and without taking any byte it sent.
bool PeerHungUp(int socket);
// The same reading of the events poll() returned for a socket watched with POLLRDHUP.
bool HungUpEvents(short revents);

// Dotted text is converted without traffic; a name is asked of the DNS server of
// "xan_dns.txt". Writes four address bytes (first octet first). 1 success, 0 failure.
[[nodiscard]] int ResolveHostName(uint8_t address[4], const char* host);
// Writes the dotted address of this machine into text (size bytes; "" when it has none).
void GetLocalIpAddress(char* text, std::size_t size);

// The DNS query ResolveHostName sends: its length, or 0 when the name does not fit.
std::size_t BuildDnsQuery(const char* host, uint8_t (&query)[256]);
// The first A record of an answer to that query; false for any other reply.
bool ParseDnsAnswer(const uint8_t* reply, std::size_t length, uint8_t address[4]);
