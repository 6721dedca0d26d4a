#include "attackers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

namespace quorell::test {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Address(const char* address, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &addr.sin_addr);
    return addr;
}

}  // namespace

ClientSocket StartConnectFrom(const char* source, int port) {
    ClientSocket s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) return s;
    const sockaddr_in local = Address(source, 0);
    if (bind(s.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return ClientSocket();
    }
    const sockaddr_in to = Address("127.0.0.1", port);
    if (connect(s.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS) {
        return ClientSocket();
    }
    return s;
}

ClientSocket ConnectLoopbackFrom(const char* source, int port, std::chrono::milliseconds timeout) {
    ClientSocket s = StartConnectFrom(source, port);
    if (!s || !ConnectCompleted(s.fd(), timeout)) return ClientSocket();
    fcntl(s.fd(), F_SETFL, fcntl(s.fd(), F_GETFL) & ~O_NONBLOCK);
    timeval limit{10, 0};
    setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return s;
}

void RaiseDescriptorLimit(std::uint64_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
    limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

IdleCrowd::IdleCrowd(int port, const std::vector<std::string>& sources, int count) {
    sockets_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string& source = sources[static_cast<std::size_t>(i) % sources.size()];
        ClientSocket s = StartConnectFrom(source.c_str(), port);
        if (s) {
            sockets_.push_back(std::move(s));
        } else {
            ++failed_to_start_;
        }
    }
    connected_.assign(sockets_.size(), false);
}

int IdleCrowd::Connected(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    int connected = 0;
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        const auto left =
            std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                     std::chrono::milliseconds(1));
        if (connected_[i] || ConnectCompleted(sockets_[i].fd(), left)) {
            connected_[i] = true;
            ++connected;
        }
    }
    return connected;
}

void IdleCrowd::SendOnEach(const std::string& bytes) {
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        if (!connected_[i]) continue;
        [[maybe_unused]] const ssize_t n =
            send(sockets_[i].fd(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
}

Flood::Flood(int threads, Body body) {
    for (int i = 0; i < threads; ++i) {
        threads_.emplace_back([this, i, body] {
            while (!stop_.load()) operations_ += body(i, stop_);
        });
    }
}

Flood::~Flood() {
    Stop();
}

std::uint64_t Flood::Stop() {
    stop_.store(true);
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    return operations_.load();
}

std::string RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(generator));
    return bytes;
}

}  // namespace quorell::test
