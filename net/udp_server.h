#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "net/address.h"

namespace quorell {
class UiBridge;
}

namespace quorell::net {

struct UdpServerCore;

// One bound socket of a datagram server, and the source of the datagram being handled on it.
class UdpBinding {
public:
    std::string IP;  // local address; empty: all local addresses
    int Port = 0;    // local port
    // Where the datagram being handled came from: its address as text ("" when unknown) and its
    // port, the same as Source() holds.
    std::string SourceAddress;
    int SourcePort = 0;
    Endpoint Source() const { return source_; }

    // One datagram from this binding's own socket (so from the server's port) to address:port,
    // a dotted IPv4 text as SourceAddress holds (LOCALHOST and names are resolved as by
    // UdpClient). Same failures as UdpClient::SendBytesTo; SocketError 10038 once the server has
    // closed the socket.
    void SendDatagram(const std::string& address, int port, const void* buffer, std::size_t count);
    void SendDatagram(const std::string& address, int port, std::string_view bytes) {
        SendDatagram(address, port, bytes.data(), bytes.size());
    }
    // The same to an endpoint, with nothing to resolve (a reply to Source(), say).
    void SendDatagram(const Endpoint& to, const void* buffer, std::size_t count);
    void SendDatagram(const Endpoint& to, std::string_view bytes) {
        SendDatagram(to, bytes.data(), bytes.size());
    }

private:
    friend class UdpServer;
    friend struct UdpServerCore;
    void SetSource(const Endpoint& source);
    int fd_ = -1;
    Endpoint source_;
};

// Datagram server: binds DefaultPort when activated and receives on a listener thread of its
// own. With ThreadedEvent false each datagram is handed whole to OnUDPRead on the user-interface
// thread through Bridge, one at a time and in arrival order; the listener waits meanwhile. A
// datagram longer than BufferSize is never delivered, not even cut short. Whatever the handler
// throws is dropped and the server carries on.
class UdpServer {
public:
    // AData holds exactly the datagram's bytes; it is valid during the call only.
    using ReadHandler =
        std::function<void(UdpServer& Sender, std::string_view AData, UdpBinding& ABinding)>;

    UdpServer();
    UdpServer(const UdpServer&) = delete;
    UdpServer& operator=(const UdpServer&) = delete;
    ~UdpServer();  // deactivates, never throws

    int DefaultPort = 0;
    std::string BindAddress;  // empty: all local addresses (the program)
    int BufferSize = 8192;
    bool ThreadedEvent = false;  // true: OnUDPRead runs on the listener thread
    // Milliseconds a stop waits for the listener (which may be inside a delivery) before it
    // gives up with "Terminate Thread Timeout".
    int TerminateWaitTime = 5000;
    // Where deliveries run, and what a stop on the user-interface thread keeps serving while it
    // waits for the listener. Required unless ThreadedEvent is true.
    std::shared_ptr<UiBridge> Bridge;
    // Settings above and the handler are read when the server becomes active.
    ReadHandler OnUDPRead;

    // true: binds DefaultPort (throws "Could not bind socket. Address and port are already in
    // use." or SocketError; the server stays inactive) and starts the listener. false: stops the
    // listener and closes the socket, so the port is free when it returns; it serves the bridge
    // while it waits when called on the user-interface thread, and throws "Terminate Thread
    // Timeout" when the listener has not ended within TerminateWaitTime. Called from inside this
    // server's own handler it closes the socket without waiting: the listener ends when the
    // handler returns. Setting the value it has does nothing.
    void SetActive(bool active);
    bool Active() const;
    bool BroadcastEnabled() const;
    void SetBroadcastEnabled(bool enabled);
    // The port bound now (useful with DefaultPort 0); 0 while inactive.
    int LocalPort() const;

private:
    std::shared_ptr<UdpServerCore> Core() const;
    void Start();
    void Stop();

    mutable std::mutex mutex_;  // guards core_
    std::shared_ptr<UdpServerCore> core_;
    std::atomic<bool> active_{false};
    bool broadcast_ = false;
    std::thread listener_;
};

}  // namespace quorell::net
