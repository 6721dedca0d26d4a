#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "session/opening.h"
#include "session/session.h"
#include "session/session_channel.h"

namespace quorell::session {
namespace {

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

struct SessionService::Impl {
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    Impl(const Identity& id, SessionOptions o) : identity(id), options(std::move(o)) {
        server_ctx = MakeTlsContext(true, identity, ctx_error);
        if (server_ctx) client_ctx = MakeTlsContext(false, identity, ctx_error);
    }

    Hello OurHello() const {
        return Hello{kProtocolVersion, options.program, options.capabilities,
                     listening ? port.load() : std::uint16_t{0}, options.own_name};
    }
    OpeningParams Params(bool dialler, const net::Address& peer, int cancel_fd) const {
        OpeningParams p;
        p.dialler = dialler;
        p.hello = OurHello();
        p.own_fingerprint = identity.GetFingerprint();
        p.peer_address = peer;
        p.deadline = Clock::now() + options.handshake_timeout;
        p.cancel_fd = cancel_fd;
        return p;
    }

    void AcceptLoop();
    void Reap();
    void OpenIncoming(UniqueFd fd, net::Address from);

    const Identity& identity;
    const SessionOptions options;
    std::string ctx_error;
    SslCtxPtr server_ctx, client_ctx;
    std::function<void(std::shared_ptr<Session>)> incoming;

    UniqueFd listen_fd;
    UniqueFd stop_fd;
    // Read by Dial and the openings while Listen or Stop may change them.
    std::atomic<std::uint16_t> port{0};
    std::atomic<bool> listening{false};
    std::thread accept_thread;

    std::mutex mu;
    std::list<Worker> workers;  // the accept thread's until Stop has joined it
    std::size_t pending = 0;
    std::map<net::Address, std::size_t> pending_from;
};

void SessionService::Impl::Reap() {
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

void SessionService::Impl::OpenIncoming(UniqueFd fd, net::Address from) {
    std::string error;
    auto opened =
        OpenSession(std::move(fd), server_ctx.get(), Params(false, from, stop_fd.get()), error);
    {
        std::lock_guard lock(mu);
        --pending;
        if (--pending_from[from] == 0) pending_from.erase(from);
    }
    if (!opened) return;
    auto session = std::make_shared<SessionChannel>(std::move(*opened), options);
    if (incoming) incoming(std::move(session));
}

void SessionService::Impl::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listen_fd.get(), POLLIN, 0}, {stop_fd.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) break;
        Reap();
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        UniqueFd fd(accept4(listen_fd.get(), reinterpret_cast<sockaddr*>(&addr), &length,
                            SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            // Out of descriptors: let the others finish rather than spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const net::Address from = net::Address::FromSockaddr(addr, length);
        {
            std::lock_guard lock(mu);
            auto& mine = pending_from[from];
            if (pending >= options.max_pending || mine >= options.max_pending_per_address) {
                if (mine == 0) pending_from.erase(from);
                continue;  // closed at once
            }
            ++pending;
            ++mine;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers.push_back(Worker{std::thread([this, done, from, fd = std::move(fd)]() mutable {
                                     OpenIncoming(std::move(fd), from);
                                     *done = true;
                                 }),
                                 done});
    }
}

SessionService::SessionService(const Identity& identity, SessionOptions options)
    : impl_(std::make_unique<Impl>(identity, std::move(options))) {}

SessionService::~SessionService() {
    Stop();
}

void SessionService::SetIncoming(std::function<void(std::shared_ptr<Session>)> incoming) {
    impl_->incoming = std::move(incoming);
}

bool SessionService::Listen(std::string& error) {
    Impl& s = *impl_;
    if (s.listening) return true;
    if (!s.server_ctx) {
        error = s.ctx_error;
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(s.options.port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!s.options.bind_address.empty() &&
        inet_pton(AF_INET, s.options.bind_address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + s.options.bind_address;
        return false;
    }
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        error = SystemError("cannot open the session socket");
        return false;
    }
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error =
            SystemError(("cannot bind the session port " + std::to_string(s.options.port)).c_str());
        return false;
    }
    socklen_t length = sizeof addr;
    if (listen(fd.get(), 64) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        error = SystemError("cannot listen on the session port");
        return false;
    }
    s.stop_fd = MakeEventFd();
    if (!s.stop_fd.valid()) {
        error = SystemError("cannot make an eventfd");
        return false;
    }
    s.port = ntohs(addr.sin_port);
    s.listen_fd = std::move(fd);
    s.listening = true;
    s.accept_thread = std::thread([&s] { s.AcceptLoop(); });
    return true;
}

std::uint16_t SessionService::Port() const {
    return impl_->port;
}

std::shared_ptr<Session> SessionService::Dial(const net::Address& peer, std::uint16_t port,
                                              std::string& error) {
    Impl& s = *impl_;
    if (!s.client_ctx) {
        error = s.ctx_error;
        return nullptr;
    }
    sockaddr_storage to{};
    const socklen_t to_length = peer.ToSockaddr(port, &to);
    if (to_length == 0) {
        error = "no address to dial";
        return nullptr;
    }
    UniqueFd fd(socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = SystemError("cannot open a socket");
        return nullptr;
    }
    if (!s.options.bind_address.empty()) {
        const auto local = net::Address::Parse(s.options.bind_address);
        sockaddr_storage from{};
        const socklen_t from_length = local ? local->ToSockaddr(0, &from) : 0;
        if (from_length == 0 || from.ss_family != to.ss_family ||
            bind(fd.get(), reinterpret_cast<sockaddr*>(&from), from_length) != 0) {
            error = "cannot bind to " + s.options.bind_address;
            return nullptr;
        }
    }
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&to), to_length) != 0) {
        if (errno != EINPROGRESS) {
            error = SystemError("cannot connect");
            return nullptr;
        }
        if (!WaitReady(fd.get(), POLLOUT, Clock::now() + s.options.connect_timeout, -1)) {
            error = "no answer from " + peer.Text() + " within the connect time-out";
            return nullptr;
        }
        int so_error = 0;
        socklen_t length = sizeof so_error;
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &length);
        if (so_error != 0) {
            errno = so_error;
            error = SystemError("cannot connect");
            return nullptr;
        }
    }
    auto opened = OpenSession(std::move(fd), s.client_ctx.get(), s.Params(true, peer, -1), error);
    if (!opened) return nullptr;
    return std::make_shared<SessionChannel>(std::move(*opened), s.options);
}

void SessionService::Stop() {
    Impl& s = *impl_;
    if (!s.listening) return;
    Signal(s.stop_fd.get());
    if (s.accept_thread.joinable()) s.accept_thread.join();
    for (auto& w : s.workers) w.thread.join();
    s.workers.clear();
    s.listen_fd.Reset();
    s.listening = false;
    s.port = 0;
}

}  // namespace quorell::session
