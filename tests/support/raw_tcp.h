#pragma once

// A plain TCP client for talking to a stream port the way a foreign or hostile peer would.

#include <netinet/in.h>

#include <chrono>
#include <string>
#include <string_view>

namespace quorell::test {

// A client socket, closed when the object goes.
class ClientSocket {
public:
    ClientSocket() = default;
    explicit ClientSocket(int fd) : fd_(fd) {}
    ~ClientSocket();
    ClientSocket(ClientSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ClientSocket& operator=(ClientSocket&& other) noexcept;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Writes every byte (false when the connection failed on the way; never raises SIGPIPE).
    bool SendAll(std::string_view bytes);
    // No more data from this side; the server then sees the end of the stream.
    void FinishSending();
    // Closes with a reset instead of the orderly end.
    void Reset();
    // Hands the descriptor over to the caller.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // True when the server ended the connection (end of stream or reset) within timeout; what it
    // sent on the way is discarded.
    bool ServerClosedWithin(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
};

// A blocking connection to address:port (a loopback address), or an invalid socket when it is
// refused or not made within timeout.
ClientSocket ConnectLoopback(int port, std::chrono::milliseconds timeout,
                             const char* address = "127.0.0.1");

// A connect already under way: the socket is non-blocking and may still be connecting. With a
// source, the connection comes from that loopback address.
ClientSocket StartConnectLoopback(int port, const char* address = "127.0.0.1",
                                  const char* source = nullptr);

// True when the connect under way on fd completed successfully within timeout.
bool ConnectCompleted(int fd, std::chrono::milliseconds timeout);

// Raises this process's limit of open descriptors to at least wanted, as far as the hard limit
// allows, for tests that hold many connections.
void RaiseOpenFileLimit(unsigned long wanted);

// True when something accepts connections on 127.0.0.1:port right now.
bool PortAccepts(int port);

// Writes bytes on a fresh connection to address:port and closes it; false when that failed.
bool SendRaw(const char* address, int port, std::string_view bytes);

// The same at the level of plain descriptors, for tests that drive a socket by hand.

sockaddr_in Loopback(int port);  // 127.0.0.1:port
// A listening socket on 127.0.0.1 at a free port (stored in *port), or -1.
int ListenLoopback(int backlog, int* port);
// A blocking connection to 127.0.0.1:port, or -1. The caller closes it.
int ConnectFd(int port);
// A port on 127.0.0.1 that nobody listens on (just released).
int UnusedPort();
// Writes every byte (false when the connection failed on the way; never raises SIGPIPE).
bool WriteAll(int fd, std::string_view bytes);
// Everything the other side sends until it closes.
std::string ReadToEnd(int fd);

}  // namespace quorell::test
