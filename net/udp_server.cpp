#include "net/udp_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>

#include "common/errors.h"
#include "common/ui_bridge.h"
#include "net/resolve.h"
#include "net/socket_error.h"
#include "net/udp_client.h"

namespace quorell::net {

namespace {

constexpr int kListenPollMs = 1000;
constexpr int kNotASocket = 10038;

}  // namespace

// State shared by the server and its listener thread. The listener keeps the core alive for as
// long as it runs, so it may outlive a stop that could not wait for it, or the server itself.
struct UdpServerCore {
    UdpServerCore() = default;
    UdpServerCore(const UdpServerCore&) = delete;
    UdpServerCore& operator=(const UdpServerCore&) = delete;
    ~UdpServerCore() {
        CloseSocket();
        if (wake_fd >= 0) close(wake_fd);
    }

    void Run();
    void HandOver();
    void Deliver();

    // Only while the listener cannot be using the socket: after it has ended, or from inside a
    // delivery (the listener is then waiting for that delivery, or is this thread).
    void CloseSocket() {
        if (fd >= 0) close(fd);
        fd = -1;
        binding.fd_ = -1;
    }

    void Wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake_fd, &one, sizeof one);
    }

    // Fixed once the server is active.
    int fd = -1;
    int wake_fd = -1;  // readable once the listener is told to stop
    int port = 0;
    std::size_t buffer_size = 0;
    std::unique_ptr<char[]> buffer;  // reused for every datagram
    bool threaded = false;
    std::shared_ptr<UiBridge> bridge;
    UdpServer::ReadHandler handler;

    // Written by the listener before each hand-over, read by the delivery.
    UdpBinding binding;
    std::string_view data;

    std::atomic<UdpServer*> owner{nullptr};  // cleared once a stop gives up on the listener
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<std::thread::id> delivering{};  // the thread inside a delivery, if any
};

void UdpServerCore::Run() {
    while (!stop.load()) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int ready = poll(p, 2, kListenPollMs);
        if (stop.load()) break;
        if (ready < 0) {
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (ready == 0 || p[0].revents == 0) continue;

        sockaddr_storage from{};
        socklen_t len = sizeof from;
        // MSG_TRUNC returns the datagram's real length, so one longer than the buffer is seen
        // and dropped rather than handed on cut short.
        const ssize_t n = recvfrom(fd, buffer.get(), buffer_size, MSG_TRUNC | MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0 || static_cast<std::size_t>(n) > buffer_size) continue;

        binding.SetSource(Endpoint::FromSockaddr(from, len));
        data = std::string_view(buffer.get(), static_cast<std::size_t>(n));
        try {
            HandOver();
        } catch (...) {
            // A failing handler, or a bridge that no longer takes work: the datagram is gone,
            // the server carries on.
        }
    }
    finished.store(true);
}

void UdpServerCore::HandOver() {
    if (threaded) {
        Deliver();
        return;
    }
    // One pointer fits std::function's own storage: no allocation per datagram here.
    bridge->Invoke([this] { Deliver(); });
}

void UdpServerCore::Deliver() {
    struct Inside {
        std::atomic<std::thread::id>& marker;
        explicit Inside(std::atomic<std::thread::id>& m) : marker(m) {
            marker.store(std::this_thread::get_id());
        }
        ~Inside() { marker.store(std::thread::id()); }
    } inside(delivering);
    UdpServer* sender = owner.load();
    if (sender != nullptr && handler) handler(*sender, data, binding);
}

void UdpBinding::SendDatagram(const std::string& address, int port, const void* buffer,
                              std::size_t count) {
    SendDatagram(Endpoint{ResolveHost(address), port}, buffer, count);
}

void UdpBinding::SendDatagram(const Endpoint& to, const void* buffer, std::size_t count) {
    if (fd_ < 0) throw SocketError(kNotASocket);
    SendDatagramOn(fd_, to.address, to.port, buffer, count);
}

void UdpBinding::SetSource(const Endpoint& source) {
    source_ = source;
    SourceAddress = source.address.Text();
    SourcePort = source.port;
}

UdpServer::UdpServer() = default;

UdpServer::~UdpServer() {
    try {
        SetActive(false);
    } catch (...) {
    }
    if (listener_.joinable()) listener_.detach();  // only if a stop failed before taking it
}

std::shared_ptr<UdpServerCore> UdpServer::Core() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return core_;
}

bool UdpServer::Active() const {
    return active_.load();
}

int UdpServer::LocalPort() const {
    if (!active_.load()) return 0;
    auto core = Core();
    return core ? core->port : 0;
}

bool UdpServer::BroadcastEnabled() const {
    return broadcast_;
}

void UdpServer::SetBroadcastEnabled(bool enabled) {
    if (enabled == broadcast_) return;
    if (auto core = Core(); core && core->fd >= 0) ApplyBroadcast(core->fd, enabled);
    broadcast_ = enabled;
}

void UdpServer::SetActive(bool active) {
    if (active == active_.load()) return;
    if (active) {
        Start();
    } else {
        Stop();
    }
}

void UdpServer::Start() {
    if (!ThreadedEvent && !Bridge) {
        throw Error("A datagram server that hands datagrams to the user interface needs a bridge.");
    }
    if (DefaultPort < 0 || DefaultPort > 65535) throw SocketError(WinsockCodeFromErrno(EINVAL));
    sockaddr_storage addr{};
    const socklen_t addr_length = ResolveBindAddress(BindAddress).ToSockaddr(DefaultPort, &addr);

    auto core = std::make_shared<UdpServerCore>();  // closes what it holds if we fail below
    // No SO_REUSEADDR: on this system it would let a second datagram socket share the port and
    // hide the conflict.
    core->fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (core->fd < 0) throw Error("Cannot allocate socket.");
    if (bind(core->fd, reinterpret_cast<const sockaddr*>(&addr), addr_length) != 0) {
        if (errno == EADDRINUSE) {
            throw Error("Could not bind socket. Address and port are already in use.");
        }
        RaiseLastSocketError();
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (getsockname(core->fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
        RaiseLastSocketError();
    }
    ApplyBroadcast(core->fd, broadcast_);
    core->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (core->wake_fd < 0) RaiseLastSocketError();

    core->port = Endpoint::FromSockaddr(bound, len).port;
    core->buffer_size = static_cast<std::size_t>(std::max(BufferSize, 0));
    core->buffer = std::make_unique<char[]>(std::max<std::size_t>(core->buffer_size, 1));
    core->threaded = ThreadedEvent;
    core->bridge = Bridge;
    core->handler = OnUDPRead;
    core->binding.IP = BindAddress;
    core->binding.Port = core->port;
    core->binding.fd_ = core->fd;
    core->owner.store(this);

    try {
        listener_ = std::thread([core] { core->Run(); });
    } catch (const std::system_error& e) {
        throw Error(e.what());
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        core_ = std::move(core);
    }
    active_.store(true);
}

void UdpServer::Stop() {
    // Take the listener and its core first: a delivery served while we wait may start this
    // server again, with a core and a thread of its own.
    std::thread thread = std::move(listener_);
    std::shared_ptr<UdpServerCore> core;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        core.swap(core_);
    }
    active_.store(false);
    if (!core) {
        if (thread.joinable()) thread.detach();
        return;
    }
    core->stop.store(true);
    core->Wake();

    if (core->delivering.load() == std::this_thread::get_id()) {
        // Called from this server's own handler: the listener waits for this very delivery to
        // return (or is this thread), so waiting for it would never end. It will not touch the
        // socket again, so the port is released now; the listener ends when the handler returns.
        core->CloseSocket();
        core->owner.store(nullptr);
        thread.detach();
        return;
    }

    const auto wait = std::chrono::milliseconds(std::max(TerminateWaitTime, 0));
    if (!WaitServingBridge(
            core->bridge.get(), [&] { return core->finished.load(); }, wait)) {
        // Stuck in a delivery. The listener keeps the core (and the socket) until it ends, and
        // will not call the handler again with this server as the sender.
        core->owner.store(nullptr);
        thread.detach();
        throw Error("Terminate Thread Timeout");
    }
    thread.join();
    core.reset();  // the last reference: the socket closes and the port is free on return
}

}  // namespace quorell::net
