#pragma once

// A plain datagram socket for playing the other side of a datagram endpoint: a foreign or
// hostile peer, a scripted file receiver or sender, a flood.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quorell::test {

struct UdpFrom {
    std::string bytes;
    std::string address;
    int port = 0;
};

class RawUdp {
public:
    // Bound to address at port (0: any free port).
    explicit RawUdp(const char* address = "127.0.0.1", int port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Address(address, port);
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawUdp() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawUdp(const RawUdp&) = delete;
    RawUdp& operator=(const RawUdp&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int port() const {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }

    bool SendTo(const char* address, int port, std::string_view bytes) const {
        sockaddr_in addr = Address(address, port);
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                        sizeof addr) == static_cast<ssize_t>(bytes.size());
    }

    // The next datagram, or nothing within timeout.
    std::optional<UdpFrom> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        std::string buffer(65536, '\0');
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(n));
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        return UdpFrom{std::move(buffer), text, ntohs(from.sin_port)};
    }

    static sockaddr_in Address(const char* address, int port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &addr.sin_addr);
        return addr;
    }

private:
    int fd_ = -1;
};

}  // namespace quorell::test
