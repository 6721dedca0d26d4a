#include "support/raw_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace quorell::test {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

sockaddr_in LoopbackAddress(const char* address, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &addr.sin_addr);
    return addr;
}

}  // namespace

ClientSocket::~ClientSocket() {
    if (fd_ >= 0) close(fd_);
}

ClientSocket& ClientSocket::operator=(ClientSocket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool ClientSocket::SendAll(std::string_view bytes) {
    return WriteAll(fd_, bytes);
}

void ClientSocket::FinishSending() {
    shutdown(fd_, SHUT_WR);
}

void ClientSocket::Reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd_);
    fd_ = -1;
}

bool ClientSocket::ServerClosedWithin(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    char sink[4096];
    while (true) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return true;
    }
}

ClientSocket StartConnectLoopback(int port, const char* address, const char* source) {
    ClientSocket s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) return s;
    if (source != nullptr) {
        const sockaddr_in local = LoopbackAddress(source, 0);
        if (bind(s.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return ClientSocket();
        }
    }
    const sockaddr_in addr = LoopbackAddress(address, port);
    if (connect(s.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS) {
        return ClientSocket();
    }
    return s;
}

bool ConnectCompleted(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        int error = 0;
        socklen_t len = sizeof error;
        return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
}

ClientSocket ConnectLoopback(int port, std::chrono::milliseconds timeout, const char* address) {
    ClientSocket s = StartConnectLoopback(port, address);
    if (!s || !ConnectCompleted(s.fd(), timeout)) return ClientSocket();
    const int flags = fcntl(s.fd(), F_GETFL);
    fcntl(s.fd(), F_SETFL, flags & ~O_NONBLOCK);
    // A server that stops reading must not hang a writer for good.
    timeval limit{10, 0};
    setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return s;
}

bool PortAccepts(int port) {
    return ConnectLoopback(port, std::chrono::seconds(2)).valid();
}

bool SendRaw(const char* address, int port, std::string_view bytes) {
    ClientSocket s = ConnectLoopback(port, std::chrono::seconds(5), address);
    return s && s.SendAll(bytes);
}

sockaddr_in Loopback(int port) {
    return LoopbackAddress("127.0.0.1", port);
}

int ListenLoopback(int backlog, int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, backlog) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

int ConnectFd(int port) {
    ClientSocket s = ConnectLoopback(port, std::chrono::seconds(5));
    return s.Release();
}

int UnusedPort() {
    int port = 0;
    const int fd = ListenLoopback(1, &port);
    if (fd >= 0) close(fd);
    return port;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, 10000) <= 0) return false;
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string ReadToEnd(int fd) {
    std::string all;
    char chunk[4096];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0)
        all.append(chunk, static_cast<std::size_t>(n));
    return all;
}

void RaiseOpenFileLimit(unsigned long wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
    limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace quorell::test
