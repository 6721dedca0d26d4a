#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/address.h"

namespace quorell::net {

struct UdpSocket;

// Datagram client: sends datagrams to a host and port and can wait, with a time-out, for one
// datagram to arrive on its own socket. The socket is created on first use and gets its local
// port from the system at the first send.
//
// One thread uses a client at a time, with one exception: SetActive(false) (and a send) may come
// from another thread while a ReceiveText() is waiting; the wait then ends at once with a
// SocketError, and the socket is closed once that wait has let go of it.
class UdpClient {
public:
    UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;
    ~UdpClient();

    static constexpr int kNoLimit = -2;     // ReceiveTimeout / ReceiveText: wait without limit
    static constexpr int kUseDefault = -1;  // ReceiveText: use ReceiveTimeout

    std::string Host;  // target of SendText and SendBytes
    int Port = 0;
    int BufferSize = 8192;          // receive buffer of ReceiveText; the media senders' cap
    int ReceiveTimeout = kNoLimit;  // milliseconds
    // Local address the socket is bound to when it is created; empty: any (the program).
    std::string BindAddress;

    bool BroadcastEnabled() const;
    void SetBroadcastEnabled(bool enabled);  // applied at once when the socket exists
    bool Active() const;
    void SetActive(bool active);  // true creates the socket, false closes it

    // One datagram of the text's bytes to Host:Port.
    void SendText(std::string_view text);
    void SendBytes(const void* buffer, std::size_t count);
    // One datagram of count bytes to host:port. Throws "Package Size Too Big.", "Not all bytes
    // sent.", "Cannot allocate socket." or SocketError (host not found, send error).
    void SendBytesTo(const std::string& host, int port, const void* buffer, std::size_t count);

    // Waits for one datagram and returns its bytes; "" when nothing arrives in time (the source
    // is then "" and 0). timeout: milliseconds, kUseDefault or kNoLimit. A datagram longer than
    // BufferSize comes back as its first BufferSize bytes. Throws SocketError on a receive error,
    // and SocketError kClosedUnderWait when SetActive(false) closes the socket under the wait.
    std::string ReceiveText(int timeout = kUseDefault);
    // Source of the datagram ReceiveText returned last; none and 0 after a wait that timed out.
    Endpoint LastSource() const;
    std::string PeerIP() const;  // its address as text, "" for none
    int PeerPort() const;
    // The local port the socket has (0 without a socket or before the first send).
    int LocalPort() const;

    // "Socket operation on non-socket.": what a wait reports when its socket is closed under it.
    static constexpr int kClosedUnderWait = 10038;

private:
    std::shared_ptr<UdpSocket> Socket();  // creates it when missing

    mutable std::mutex mutex_;  // guards socket_, broadcast_ and the last source
    std::shared_ptr<UdpSocket> socket_;
    bool broadcast_ = false;
    Endpoint last_source_;
};

// Sends count bytes as one datagram on the socket fd to address:port: the one send of clients
// and server bindings. Throws "Package Size Too Big." when the datagram is too long for the
// transport, "Not all bytes sent." on a short send, SocketError on any other failure.
void SendDatagramOn(int fd, const Address& address, int port, const void* buffer,
                    std::size_t count);

// Sets the broadcast option of a datagram socket (all ones for true, 0 for false); SocketError
// on failure.
void ApplyBroadcast(int fd, bool enabled);

}  // namespace quorell::net
