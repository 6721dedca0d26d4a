#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quorell {
class UiBridge;
}

namespace quorell::net {

struct TcpServerCore;

// One accepted connection, used only by its own connection thread; only Abort() may be called
// from another thread.
class ServerConnection {
public:
    explicit ServerConnection(int fd, int read_timeout_ms);
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;
    ~ServerConnection();

    static constexpr std::size_t kMaxLineLength = 16384;
    static constexpr std::size_t kRecvBufferSize = 32768;

    // The next line without its LF (and one CR before it). Throws "Max line length exceeded."
    // for a line over kMaxLineLength bytes, "Connection Closed Gracefully." once the peer has
    // closed and every complete line was returned. Bytes left without an LF when the peer closes
    // come back as one empty line and are dropped. Throws SocketError on a socket failure and
    // "Read timed out." when nothing arrives for the read time-out (0 or less: no limit).
    std::string ReceiveLine();

    // Wakes a thread blocked in ReceiveLine(); the connection then reads as closed. Safe to call
    // from any thread while the connection object exists.
    void Abort();
    bool Closed() const { return closed_; }
    int fd() const { return fd_; }

private:
    void Close();
    void ReadMore();

    std::mutex fd_mutex_;  // held while fd_ is closed or shut down
    int fd_;
    int read_timeout_ms_;
    std::string buffer_;
    std::size_t head_ = 0;     // bytes of buffer_ already handed out as lines
    std::size_t scanned_ = 0;  // bytes from head_ known to hold no LF
    bool peer_closed_ = false;
    bool closed_ = false;
    std::atomic<bool> aborted_{false};
};

// Stream server: listens on DefaultPort and runs OnConnect for every accepted connection on a
// thread of that connection's own. Failures on a connection thread end that connection silently.
// Connection threads share only a TcpServerCore with the server, so a handler that outlives the
// server object never touches freed memory.
class TcpServer {
public:
    using ConnectHandler = std::function<void(ServerConnection&)>;

    TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;
    ~TcpServer();  // stops, never throws

    int DefaultPort = 0;
    std::string BindAddress;  // empty: all local addresses
    int ListenQueue = 15;
    int TerminateWaitTime = 5000;  // milliseconds
    int MaxConnections = 256;      // simultaneous; further ones wait to be accepted
    int ReadTimeout = 60000;       // milliseconds of silence before a connection is dropped
    ConnectHandler OnConnect;
    // What a stop on the user-interface thread keeps serving while it waits for the connection
    // threads, which may themselves be waiting for that thread. Optional.
    std::shared_ptr<UiBridge> Bridge;

    // true: binds, listens and accepts (throws "Could not bind socket. Address and port are
    // already in use." or SocketError). false: stops the listener, closes every connection and
    // waits up to TerminateWaitTime for their threads (throws "Terminate Thread Timeout"),
    // serving Bridge meanwhile when called on its user-interface thread.
    // Settings and OnConnect are read when the server becomes active. Call from one thread.
    void SetActive(bool active);
    bool Active() const;
    // Connection threads running now (also those left over from the last stop).
    int ConnectionCount() const;
    // The port the server listens on (useful with DefaultPort 0); 0 while inactive.
    int LocalPort() const;

private:
    std::shared_ptr<TcpServerCore> Core() const;

    mutable std::mutex mutex_;  // guards core_
    std::shared_ptr<TcpServerCore> core_;
    std::atomic<bool> active_{false};
    std::thread listener_;
};

}  // namespace quorell::net
