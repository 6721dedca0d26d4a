#include "net/tcp_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "common/errors.h"
#include "common/ui_bridge.h"
#include "net/accept_queue.h"
#include "net/resolve.h"
#include "net/socket_error.h"

namespace quorell::net {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAcceptPollMs = 100;
// The most a connection that has closed may have sent to wait in the queue without its descriptor.
constexpr std::size_t kMaxParkedBytes = 64 * 1024;
constexpr const char* kClosedGracefully = "Connection Closed Gracefully.";
constexpr const char* kMaxLineExceeded = "Max line length exceeded.";

}  // namespace

// ---------------------------------------------------------------------------------------------
// ServerConnection

ServerConnection::ServerConnection(int fd, int read_timeout_ms)
    : ServerConnection(fd, Limits{.read_timeout_ms = read_timeout_ms}) {}

ServerConnection::ServerConnection(int fd, Limits limits)
    : fd_(fd),
      limits_(std::move(limits)),
      first_line_deadline_(Clock::now() + std::chrono::milliseconds(limits_.first_line_timeout_ms)),
      first_line_due_(limits_.first_line_timeout_ms > 0),
      waiting_(limits_.counted_as_waiting) {
    if (limits_.order) {
        ticket_ = limits_.order->Join(limits_.address);
        placed_ = true;
    }
}

ServerConnection::ServerConnection(std::string bytes, Limits limits)
    : ServerConnection(-1, std::move(limits)) {
    buffer_ = std::move(bytes);
    parked_ = true;
}

ServerConnection::~ServerConnection() {
    Close();
    SetWaiting(false);
    LeaveOrder();
}

Address ServerConnection::Source() const {
    return limits_.address.IsNone() ? PeerAddressOf(fd_) : limits_.address;
}

void ServerConnection::AwaitTurn() {
    if (first_line_seen_ || !limits_.order) return;
    placed_ = true;
    if (!limits_.order->AwaitTurn(limits_.address, ticket_, [this] { return aborted_.load(); })) {
        throw Error(kClosedGracefully);
    }
}

void ServerConnection::LeaveOrder() {
    if (!placed_) return;
    placed_ = false;
    limits_.order->Leave(limits_.address, ticket_);
}

int ServerConnection::SetWaiting(bool waiting) {
    if (waiting == waiting_ || !limits_.waiting) return 0;
    waiting_ = waiting;
    return limits_.waiting(waiting ? 1 : -1);
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
    if (limits_.order) limits_.order->Wake();
}

std::string ServerConnection::ReceiveLine() {
    if (first_line_seen_) LeaveOrder();  // done with the first line
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
            first_line_due_ = false;
            SetWaiting(false);
            AwaitTurn();
            first_line_seen_ = true;
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
        AwaitTurn();
        first_line_seen_ = true;
        return std::string();
    }
}

// Appends whatever the next read brings, or sets peer_closed_ when the peer has closed.
void ServerConnection::ReadMore() {
    if (parked_) {
        peer_closed_ = true;
        return;
    }
    if (head_ > 0) {
        buffer_.erase(0, head_);
        head_ = 0;
    }
    const int read_timeout_ms = limits_.read_timeout_ms;
    const bool limited = read_timeout_ms > 0 || first_line_due_;
    auto deadline = Clock::time_point::max();
    if (read_timeout_ms > 0) deadline = Clock::now() + std::chrono::milliseconds(read_timeout_ms);
    if (first_line_due_) deadline = std::min(deadline, first_line_deadline_);
    bool checked_in = false;
    while (true) {
        int wait_ms = -1;
        if (!checked_in) {
            wait_ms = 0;  // first see whether the bytes are already there
        } else if (limited) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        // Bytes already there are taken even once the deadline has passed.
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            RaiseLastSocketError();
        }
        if (ready == 0) {
            if (Clock::now() >= deadline) throw Error("Read timed out.");
            if (!checked_in) {
                // Nothing there: from now on this connection waits for its peer. Past the first
                // line, one idle connection too many from one address is not kept.
                checked_in = true;
                if (!first_line_seen_) LeaveOrder();  // no whole first line to hold anyone up
                const int count = SetWaiting(true);
                if (first_line_seen_ && limits_.max_waiting > 0 && count > limits_.max_waiting) {
                    throw Error("Read timed out.");
                }
            }
            continue;
        }

        if (checked_in && !first_line_seen_ && !placed_ && limits_.order) {
            limits_.order->Hold(limits_.address, ticket_);  // this may bring the first line
            placed_ = true;
        }
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
    ~TcpServerCore() {
        if (wake_fd >= 0) close(wake_fd);
    }

    // Fixed once the server is active.
    int listen_fd = -1;
    int wake_fd = -1;  // eventfd: a connection thread ended, or the server stops
    int port = 0;
    int max_connections = 0;
    int max_running_per_address = 0;
    std::size_t max_queued = 0;
    std::size_t max_queued_bytes = 0;
    int max_waiting_per_address = 0;
    int read_timeout_ms = 0;
    int first_line_timeout_ms = 0;
    TcpServer::ConnectHandler handler;
    std::shared_ptr<FirstLineOrder> order = std::make_shared<FirstLineOrder>();

    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable idle;
    std::unordered_set<ServerConnection*> live;     // connections that may still be aborted
    int running = 0;                                // connection threads not yet finished
    std::unordered_map<Address, int> running_from;  // the same per source address
    std::unordered_map<Address, int> waiting;       // per source address: waiting for a line

    void Wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake_fd, &one, sizeof one);
    }
    bool Full() const { return max_connections > 0 && running >= max_connections; }
    // Whether a connection from `address` may have a thread now. Called with the mutex held.
    bool MayStart(const Address& address) const {
        if (max_running_per_address <= 0) return true;
        auto it = running_from.find(address);
        return it == running_from.end() || it->second < max_running_per_address;
    }
    // Count a connection thread in and out. Called with the mutex held.
    void Started(const Address& address) {
        ++running;
        ++running_from[address];
    }
    void Finished(const Address& address) {
        --running;
        if (--running_from[address] <= 0) running_from.erase(address);
        idle.notify_all();
    }
};

namespace {

using Queued = AcceptQueue::Entry;

void RunConnection(std::shared_ptr<TcpServerCore> core, ServerConnection* raw, Address address) {
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
    conn.reset();  // closes the socket and stops counting it as waiting
    std::lock_guard<std::mutex> lock(core->mutex);
    core->Finished(address);
    core->Wake();
}

// Closes with a reset: the client learns at once, and no TIME_WAIT is left here.
void Refuse(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// True when the connection's first line (or its end) is already here, so it will not wait.
bool BringsALine(int fd) {
    thread_local std::string peeked(ServerConnection::kMaxLineLength + 1, '\0');
    const ssize_t n = recv(fd, peeked.data(), peeked.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return false;
    return static_cast<std::size_t>(n) == peeked.size() ||
           std::memchr(peeked.data(), '\n', static_cast<std::size_t>(n)) != nullptr;
}

// Everything a connection sent, when it has already closed its side after at most
// kMaxParkedBytes; the descriptor is then no longer needed, and the caller closes it.
std::optional<std::string> TakeFinished(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLRDHUP) == 0 || (p.revents & POLLERR) != 0) {
        return std::nullopt;
    }
    // Its end has come, so every byte before it is here.
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) != 0 || pending < 0 ||
        static_cast<std::size_t>(pending) > kMaxParkedBytes) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(pending), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = recv(fd, bytes.data() + got, bytes.size() - got, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // reset on the way: what came is all there is
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

// Starts a thread for a queued connection, or refuses it when its address already has its
// share of connections waiting for a line and it brings none itself. The caller has checked
// that there is room.
void Admit(const std::shared_ptr<TcpServerCore>& core, Queued& queued) {
    const bool waits = !queued.parked() && !BringsALine(queued.fd);
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (waits && core->max_waiting_per_address > 0) {
            auto it = core->waiting.find(queued.address);
            if (it != core->waiting.end() && it->second >= core->max_waiting_per_address) {
                Refuse(queued.fd);
                return;
            }
        }
        if (waits) ++core->waiting[queued.address];  // the connection counts itself out
        core->Started(queued.address);
    }
    std::weak_ptr<TcpServerCore> weak = core;
    ServerConnection::Limits limits;
    limits.read_timeout_ms = core->read_timeout_ms;
    limits.first_line_timeout_ms = core->first_line_timeout_ms;
    limits.max_waiting = core->max_waiting_per_address;
    limits.counted_as_waiting = waits;
    limits.order = core->order;
    limits.address = queued.address;
    limits.waiting = [weak, address = queued.address](int delta) {
        auto owner = weak.lock();
        if (!owner) return 0;
        std::lock_guard<std::mutex> lock(owner->mutex);
        int& count = owner->waiting[address];
        count += delta;
        const int now = count;
        if (count <= 0) owner->waiting.erase(address);
        return now;
    };
    std::unique_ptr<ServerConnection> conn;
    try {
        conn = queued.parked()
                   ? std::make_unique<ServerConnection>(std::move(queued.bytes), std::move(limits))
                   : std::make_unique<ServerConnection>(queued.fd, std::move(limits));
    } catch (...) {
        if (!queued.parked()) close(queued.fd);
        std::lock_guard<std::mutex> lock(core->mutex);
        if (waits && --core->waiting[queued.address] <= 0) core->waiting.erase(queued.address);
        core->Finished(queued.address);
        return;
    }
    ServerConnection* raw = conn.get();
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->live.insert(raw);
    }
    try {
        std::thread thread(RunConnection, core, raw, queued.address);
        conn.release();  // the connection thread owns it now
        thread.detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->live.erase(raw);
        core->Finished(queued.address);
        // conn closes the socket and counts itself out on the way out
    }
}

// Hands queued connections to threads while there is room, the source addresses taking turns.
void StartQueued(const std::shared_ptr<TcpServerCore>& core, AcceptQueue& queue) {
    while (!queue.empty() && !core->stop.load()) {
        std::optional<Queued> next;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            if (core->Full()) return;
            next = queue.Pop([&](const Address& address) { return core->MayStart(address); });
        }
        if (!next) return;  // every address that waits already runs its share
        try {
            Admit(core, *next);
        } catch (...) {
            // Admit only fails when memory runs out; that connection is gone, the rest goes on.
        }
    }
}

// Takes the pending connections, so that nobody's connection waits in the kernel's listen queue
// (first come, first served) behind another address's flood. When the queue is full, the address
// holding the most in it gives way.
//
// Connections wait open, as long as the queue has descriptors for them; a peer learns that its
// connection was dealt with when the server closes it. Once the descriptors run out, those that
// have sent everything and closed are parked instead: the queued ones that have finished
// meanwhile, in their places, and then the newcomer. Each look at the whole queue comes after a
// quarter of its descriptors' worth of newcomers at the soonest, so it costs each newcomer little
// however long the queue stays full.
void AcceptPending(TcpServerCore& core, AcceptQueue& queue, std::size_t& opened_since_look) {
    const auto take = [](int fd) {
        std::optional<std::string> bytes = TakeFinished(fd);
        if (bytes) close(fd);  // everything is read; only the bytes wait
        return bytes;
    };
    for (std::size_t taken = 0; taken < queue.capacity(); ++taken) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        int fd = accept4(core.listen_fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: the pending connection stays queued, so back off
            // rather than spin on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPollMs));
            }
            return;
        }
        try {
            const Address source = Address::FromSockaddr(from, length);
            if (queue.DescriptorsFull() && opened_since_look >= queue.capacity() / 4) {
                opened_since_look = 0;
                queue.ParkFinished(take);  // those that give way are closed already
            }
            if (queue.DescriptorsFull()) {
                if (std::optional<std::string> finished = take(fd)) {
                    fd = -1;
                    queue.Park(source, std::move(*finished));
                    continue;
                }
            }
            ++opened_since_look;
            if (auto turned_away = queue.Push(Queued{fd, source})) {
                Refuse(turned_away->fd);
            }
        } catch (...) {
            if (fd >= 0) close(fd);
            return;
        }
    }
}

void Listen(std::shared_ptr<TcpServerCore> core) {
    AcceptQueue queue(core->max_queued, core->max_queued_bytes);
    std::size_t opened_since_look = queue.capacity();
    while (!core->stop.load()) {
        StartQueued(core, queue);
        pollfd p[2] = {{core->wake_fd, POLLIN, 0}, {core->listen_fd, POLLIN, 0}};
        int ready = poll(p, 2, kAcceptPollMs);
        if (ready < 0 && errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPollMs));
            continue;
        }
        if (ready <= 0) continue;
        if (p[0].revents != 0) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = read(core->wake_fd, &count, sizeof count);
        }
        if (p[1].revents != 0) AcceptPending(*core, queue, opened_since_look);
    }
    while (auto left = queue.Pop()) {
        if (!left->parked()) Refuse(left->fd);
    }
}

// The queue never holds more descriptors than the process may open beside its running
// connections and everything else it has open, so that it is the queue that turns newcomers
// away, fairly, and not a failing accept that leaves them all in the kernel's listen queue.
std::size_t QueueCapacity(int wanted, int max_connections) {
    constexpr long kKeptForTheRest = 256;
    constexpr long kLeast = 16;
    long capacity = std::max<long>(wanted, 1);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const long room =
            static_cast<long>(limit.rlim_cur) - std::max(max_connections, 0) - kKeptForTheRest;
        capacity = std::min(capacity, std::max(room, std::min(capacity, kLeast)));
    }
    return static_cast<std::size_t>(capacity);
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
        sockaddr_storage addr{};
        const socklen_t addr_length =
            ResolveBindAddress(BindAddress).ToSockaddr(DefaultPort, &addr);

        int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), addr_length) != 0) fail(errno);
        if (listen(fd, ListenQueue) != 0) fail(errno);
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) fail(errno);

        auto core = std::make_shared<TcpServerCore>();
        core->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (core->wake_fd < 0) fail(errno);
        core->listen_fd = fd;
        core->port = Endpoint::FromSockaddr(bound, len).port;
        core->max_connections = MaxConnections;
        core->max_running_per_address = MaxConnectionsPerAddress;
        core->max_queued = QueueCapacity(MaxQueuedConnections, MaxConnections);
        core->max_queued_bytes = MaxQueuedBytes;
        core->max_waiting_per_address = MaxWaitingPerAddress;
        core->read_timeout_ms = ReadTimeout;
        core->first_line_timeout_ms = FirstLineTimeout;
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
    core->Wake();
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
