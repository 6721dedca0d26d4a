#include "net/tcp_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <unordered_set>

#include "common/errors.h"
#include "common/ui_bridge.h"
#include "net/resolve.h"
#include "net/socket_error.h"

namespace quorell::net {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAcceptPollMs = 100;
constexpr const char* kClosedGracefully = "Connection Closed Gracefully.";
constexpr const char* kMaxLineExceeded = "Max line length exceeded.";

}  // namespace

// ---------------------------------------------------------------------------------------------
// ServerConnection

ServerConnection::ServerConnection(int fd, int read_timeout_ms)
    : fd_(fd), read_timeout_ms_(read_timeout_ms) {}

ServerConnection::~ServerConnection() {
    Close();
}

void ServerConnection::Close() {
    std::lock_guard<std::mutex> lock(fd_mutex_);
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    closed_ = true;
}

void ServerConnection::Abort() {
    std::lock_guard<std::mutex> lock(fd_mutex_);
    aborted_.store(true);
    // Only shut down here: the owner thread may be inside poll() or recv() on this descriptor and
    // closes it itself.
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

std::string ServerConnection::ReceiveLine() {
    while (true) {
        if (aborted_.load()) throw Error(kClosedGracefully);

        const std::size_t pending = buffer_.size() - head_;
        const std::size_t lf = buffer_.find('\n', head_ + scanned_);
        if (lf != std::string::npos) {
            const std::size_t length = lf - head_;
            if (length > kMaxLineLength) throw Error(kMaxLineExceeded);
            std::string line = buffer_.substr(head_, length);
            head_ = lf + 1;
            scanned_ = 0;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        scanned_ = pending;
        if (pending > kMaxLineLength) throw Error(kMaxLineExceeded);
        if (peer_closed_ || closed_) throw Error(kClosedGracefully);

        ReadMore();
        if (!peer_closed_) continue;

        // The peer closed on this read.
        if (buffer_.size() == head_) throw Error(kClosedGracefully);
        // A last line without LF is dropped; the caller gets one empty line for it.
        Close();
        buffer_.clear();
        head_ = 0;
        scanned_ = 0;
        return std::string();
    }
}

// Appends whatever the next read brings, or sets peer_closed_ when the peer has closed.
void ServerConnection::ReadMore() {
    if (head_ > 0) {
        buffer_.erase(0, head_);
        head_ = 0;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(read_timeout_ms_);
    while (true) {
        int wait_ms = -1;
        if (read_timeout_ms_ > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) throw Error("Read timed out.");
            wait_ms = static_cast<int>(left.count());
        }
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            RaiseLastSocketError();
        }
        if (ready == 0) continue;  // the deadline check above decides

        const std::size_t old_size = buffer_.size();
        buffer_.resize(old_size + kRecvBufferSize);
        ssize_t n = recv(fd_, buffer_.data() + old_size, kRecvBufferSize, 0);
        const int err = errno;
        buffer_.resize(old_size + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n > 0) return;
        if (n == 0) {
            peer_closed_ = true;
            return;
        }
        if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) continue;
        RaiseSocketErrno(err);
    }
}

// ---------------------------------------------------------------------------------------------
// TcpServer

// State shared by the server, its listener and its connection threads. A connection thread keeps
// the core alive for as long as it runs, so it may outlive the TcpServer that started it.
struct TcpServerCore {
    // Fixed once the server is active.
    int listen_fd = -1;
    int port = 0;
    int max_connections = 0;
    int read_timeout_ms = 0;
    TcpServer::ConnectHandler handler;

    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable idle;
    std::unordered_set<ServerConnection*> live;  // connections that may still be aborted
    int running = 0;                             // connection threads not yet finished
};

namespace {

void RunConnection(std::shared_ptr<TcpServerCore> core, ServerConnection* raw) {
    std::unique_ptr<ServerConnection> conn(raw);
    try {
        if (core->handler) core->handler(*conn);
    } catch (...) {
        // A failing connection ends silently; the server and the other connections carry on.
    }
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->live.erase(raw);
    }
    conn.reset();  // closes the socket
    std::lock_guard<std::mutex> lock(core->mutex);
    --core->running;
    core->idle.notify_all();
}

void Admit(const std::shared_ptr<TcpServerCore>& core, int fd) {
    std::unique_ptr<ServerConnection> conn;
    try {
        conn = std::make_unique<ServerConnection>(fd, core->read_timeout_ms);
    } catch (...) {
        close(fd);
        return;
    }
    ServerConnection* raw = conn.get();
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (core->max_connections > 0 && core->running >= core->max_connections) return;
        core->live.insert(raw);
        ++core->running;
    }
    try {
        std::thread thread(RunConnection, core, raw);
        conn.release();  // the connection thread owns it now
        thread.detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->live.erase(raw);
        --core->running;
        core->idle.notify_all();
        // conn closes the socket on the way out
    }
}

// True once a connection thread may start; false when asked to stop first. At the limit, new
// connections wait in the kernel's listen queue (their bytes are kept) until a thread ends.
bool WaitForRoom(TcpServerCore& core) {
    std::unique_lock<std::mutex> lock(core.mutex);
    while (core.max_connections > 0 && core.running >= core.max_connections) {
        if (core.stop.load()) return false;
        core.idle.wait_for(lock, std::chrono::milliseconds(kAcceptPollMs));
    }
    return !core.stop.load();
}

void Listen(std::shared_ptr<TcpServerCore> core) {
    while (WaitForRoom(*core)) {
        pollfd p{core->listen_fd, POLLIN, 0};
        int ready = poll(&p, 1, kAcceptPollMs);
        if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPollMs));
            continue;
        }
        if (ready <= 0) continue;

        // Take every pending connection before waiting again, so a burst does not overflow the
        // listen queue.
        while (WaitForRoom(*core)) {
            int fd = accept4(core->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                // Out of descriptors or memory: the pending connection stays queued, so back off
                // rather than spin on it.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPollMs));
                }
                break;
            }
            try {
                Admit(core, fd);
            } catch (...) {
                // Admit only fails when memory runs out; that connection is gone, the rest goes on.
            }
        }
    }
}

}  // namespace

TcpServer::TcpServer() = default;

TcpServer::~TcpServer() {
    try {
        SetActive(false);
    } catch (...) {
    }
    if (listener_.joinable()) listener_.join();
}

std::shared_ptr<TcpServerCore> TcpServer::Core() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return core_;
}

bool TcpServer::Active() const {
    return active_.load();
}

int TcpServer::ConnectionCount() const {
    auto core = Core();
    if (!core) return 0;
    std::lock_guard<std::mutex> lock(core->mutex);
    return core->running;
}

int TcpServer::LocalPort() const {
    if (!active_.load()) return 0;
    auto core = Core();
    return core ? core->port : 0;
}

void TcpServer::SetActive(bool active) {
    if (active == active_.load()) return;

    if (active) {
        if (DefaultPort < 0 || DefaultPort > 65535) throw SocketError(WinsockCodeFromErrno(EINVAL));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(DefaultPort));
        if (BindAddress.empty()) {
            addr.sin_addr.s_addr = htonl(INADDR_ANY);
        } else {
            addr.sin_addr = ResolveHost(BindAddress);
        }

        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) RaiseLastSocketError();
        auto fail = [fd](int err) {
            close(fd);
            if (err == EADDRINUSE) {
                throw Error("Could not bind socket. Address and port are already in use.");
            }
            RaiseSocketErrno(err);
        };
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) fail(errno);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) fail(errno);
        if (listen(fd, ListenQueue) != 0) fail(errno);
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) fail(errno);

        auto core = std::make_shared<TcpServerCore>();
        core->listen_fd = fd;
        core->port = ntohs(bound.sin_port);
        core->max_connections = MaxConnections;
        core->read_timeout_ms = ReadTimeout;
        core->handler = OnConnect;
        try {
            listener_ = std::thread(Listen, core);
        } catch (const std::system_error& e) {
            close(fd);
            throw Error(e.what());
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            core_ = core;
        }
        active_.store(true);
        return;
    }

    auto core = Core();
    core->stop.store(true);
    if (listener_.joinable()) listener_.join();
    close(core->listen_fd);
    core->listen_fd = -1;
    active_.store(false);

    {
        std::lock_guard<std::mutex> lock(core->mutex);
        for (ServerConnection* conn : core->live) conn->Abort();
    }
    // Without holding the lock: on the user-interface thread this runs hand-offs, and the
    // connection threads that made them take the lock on their way out.
    const auto wait = std::chrono::milliseconds(TerminateWaitTime > 0 ? TerminateWaitTime : 0);
    const bool ended = WaitServingBridge(
        Bridge.get(),
        [&] {
            std::lock_guard<std::mutex> lock(core->mutex);
            return core->running == 0;
        },
        wait);
    if (!ended) throw Error("Terminate Thread Timeout");
}

}  // namespace quorell::net
