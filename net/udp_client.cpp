#include "net/udp_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "common/errors.h"
#include "net/resolve.h"
#include "net/socket_error.h"

namespace quorell::net {

// The client's socket. A thread waiting in ReceiveText holds its own reference, so the
// descriptor is closed only once nobody polls it any more.
struct UdpSocket {
    explicit UdpSocket(int descriptor) : fd(descriptor) {}
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket() { close(fd); }

    const int fd;
    std::atomic<bool> closed{false};  // SetActive(false) let go of it
};

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void SendDatagramOn(int fd, const Address& address, int port, const void* buffer,
                    std::size_t count) {
    if (port < 0 || port > 65535) throw SocketError(WinsockCodeFromErrno(EINVAL));
    sockaddr_storage to{};
    const socklen_t length = address.ToSockaddr(port, &to);
    ssize_t sent;
    do {
        sent =
            sendto(fd, buffer, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), length);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        if (errno == EMSGSIZE) throw Error("Package Size Too Big.");
        RaiseLastSocketError();
    }
    if (static_cast<std::size_t>(sent) != count) throw Error("Not all bytes sent.");
}

void ApplyBroadcast(int fd, bool enabled) {
    const int value = enabled ? ~0 : 0;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) {
        RaiseLastSocketError();
    }
}

UdpClient::UdpClient() = default;

UdpClient::~UdpClient() {
    SetActive(false);
}

std::shared_ptr<UdpSocket> UdpClient::Socket() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_) return socket_;

    sockaddr_storage local{};
    socklen_t local_length = 0;
    if (!BindAddress.empty()) local_length = ResolveHost(BindAddress).ToSockaddr(0, &local);
    int fd = socket(local_length > 0 ? local.ss_family : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw Error("Cannot allocate socket.");
    auto sock = std::make_shared<UdpSocket>(fd);  // closes fd if anything below throws
    if (local_length > 0 &&
        bind(fd, reinterpret_cast<const sockaddr*>(&local), local_length) != 0) {
        RaiseLastSocketError();
    }
    ApplyBroadcast(fd, broadcast_);
    socket_ = sock;
    return sock;
}

bool UdpClient::BroadcastEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return broadcast_;
}

void UdpClient::SetBroadcastEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (enabled == broadcast_) return;
    if (socket_) ApplyBroadcast(socket_->fd, enabled);
    broadcast_ = enabled;
}

bool UdpClient::Active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_ != nullptr;
}

void UdpClient::SetActive(bool active) {
    if (active) {
        Socket();
        return;
    }
    std::shared_ptr<UdpSocket> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old.swap(socket_);
        if (!old) return;
        old->closed.store(true);
        // Wakes a thread polling this socket (it sees POLLHUP); that thread holds its own
        // reference, so the descriptor stays open until it has let go. On an unconnected
        // datagram socket the call reports ENOTCONN but still does the wake-up.
        shutdown(old->fd, SHUT_RDWR);
    }
    // old closes the descriptor here unless a waiter still holds it.
}

void UdpClient::SendText(std::string_view text) {
    SendBytesTo(Host, Port, text.data(), text.size());
}

void UdpClient::SendBytes(const void* buffer, std::size_t count) {
    SendBytesTo(Host, Port, buffer, count);
}

void UdpClient::SendBytesTo(const std::string& host, int port, const void* buffer,
                            std::size_t count) {
    const Address address = ResolveHost(host);
    auto sock = Socket();
    SendDatagramOn(sock->fd, address, port, buffer, count);
}

std::string UdpClient::ReceiveText(int timeout) {
    if (timeout == kUseDefault) timeout = ReceiveTimeout;
    const bool limited = timeout >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout : 0);
    auto sock = Socket();

    std::string data;
    sockaddr_storage from{};
    socklen_t from_length = 0;
    while (true) {
        int wait_ms = -1;
        if (limited) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait_ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        pollfd p{sock->fd, POLLIN, 0};
        const int ready = poll(&p, 1, wait_ms);
        const int poll_err = errno;
        if (sock->closed.load()) throw SocketError(kClosedUnderWait);
        if (ready < 0) {
            if (poll_err == EINTR) continue;
            RaiseSocketErrno(poll_err);
        }
        if (ready == 0) {
            if (limited && Clock::now() >= deadline) {
                std::lock_guard<std::mutex> lock(mutex_);
                last_source_ = Endpoint{};
                return std::string();
            }
            continue;
        }

        data.resize(static_cast<std::size_t>(std::max(BufferSize, 0)));
        from_length = sizeof from;
        const ssize_t n = recvfrom(sock->fd, data.data(), data.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &from_length);
        const int recv_err = errno;
        if (sock->closed.load()) throw SocketError(kClosedUnderWait);
        if (n >= 0) {
            // Longer datagrams were cut to the buffer by the system; n is what the buffer holds.
            data.resize(static_cast<std::size_t>(n));
            break;
        }
        // Readable but gone again (a datagram with a bad checksum is dropped late): wait on.
        if (recv_err == EAGAIN || recv_err == EWOULDBLOCK || recv_err == EINTR) continue;
        RaiseSocketErrno(recv_err);
    }

    std::lock_guard<std::mutex> lock(mutex_);
    last_source_ = Endpoint::FromSockaddr(from, from_length);
    return data;
}

Endpoint UdpClient::LastSource() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_source_;
}

std::string UdpClient::PeerIP() const {
    return LastSource().address.Text();
}

int UdpClient::PeerPort() const {
    return LastSource().port;
}

int UdpClient::LocalPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!socket_) return 0;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(socket_->fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return Endpoint::FromSockaddr(addr, len).port;
}

}  // namespace quorell::net
