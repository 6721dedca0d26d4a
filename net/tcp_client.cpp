#include "net/tcp_client.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/errors.h"
#include "net/resolve.h"
#include "net/socket_error.h"

namespace quorell::net {

namespace {

constexpr int kConnectionTimedOut = 10060;

bool SetNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

// Waits for a connect in progress to finish. Returns 0 on success, an errno value on failure,
// or -1 when the time limit (milliseconds, negative for none) runs out first.
int FinishConnect(int fd, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    while (true) {
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return -1;
            wait_ms = static_cast<int>(left.count());
        }
        pollfd p{fd, POLLOUT, 0};
        int n = poll(&p, 1, wait_ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) continue;  // the deadline check above decides
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
        return err;
    }
}

}  // namespace

TcpClient::~TcpClient() {
    CloseSocket();
}

void TcpClient::OpenConnection() {
    if (fd_ >= 0) throw Error("Already connected.");
    if (Port < 0 || Port > 65535) throw SocketError(WinsockCodeFromErrno(EINVAL));

    sockaddr_storage peer{};
    const socklen_t peer_length = ResolveHost(Host).ToSockaddr(Port, &peer);

    sockaddr_storage local{};
    socklen_t local_length = 0;
    const bool bind_local = !BindAddress.empty();
    if (bind_local) local_length = ResolveHost(BindAddress).ToSockaddr(0, &local);

    int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) RaiseLastSocketError();

    auto fail = [fd](int err) {
        close(fd);
        if (err < 0) throw SocketError(kConnectionTimedOut);
        RaiseSocketErrno(err);
    };

    if (bind_local && bind(fd, reinterpret_cast<const sockaddr*>(&local), local_length) != 0) {
        fail(errno);
    }

    const bool limited = ConnectTimeout > 0;
    if (limited && !SetNonBlocking(fd, true)) fail(errno);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), peer_length) != 0) {
        int err = errno;
        // A blocking connect interrupted by a signal carries on in the background.
        if (err == EINPROGRESS || err == EINTR)
            err = FinishConnect(fd, limited ? ConnectTimeout : -1);
        if (err != 0) fail(err);
    }
    if (limited && !SetNonBlocking(fd, false)) fail(errno);
    fd_ = fd;
}

void TcpClient::SendLine(std::string_view text) {
    if (fd_ < 0) throw Error("Not Connected");
    std::string buffer;
    buffer.reserve(text.size() + 2);
    buffer.append(text);
    buffer.append("\r\n");

    std::size_t sent = 0;
    while (sent < buffer.size()) {
        ssize_t n = send(fd_, buffer.data() + sent, buffer.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            int err = errno;
            if (err == EINTR) continue;
            CloseSocket();
            RaiseSocketErrno(err);
        }
        sent += static_cast<std::size_t>(n);
    }
}

void TcpClient::CloseConnection() {
    if (fd_ < 0) return;
    shutdown(fd_, SHUT_WR);
    CloseSocket();
}

void TcpClient::CloseSocket() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

}  // namespace quorell::net
