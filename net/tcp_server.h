#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/address.h"
#include "net/first_line_order.h"

namespace quorell {
class UiBridge;
}

namespace quorell::net {

struct TcpServerCore;

// One accepted connection, used only by its own connection thread; only Abort() may be called
// from another thread.
class ServerConnection {
public:
    // How long a connection may keep the server waiting, and how it is counted against its
    // source address.
    struct Limits {
        int read_timeout_ms = 0;        // silence before a read fails; 0 or less: no limit
        int first_line_timeout_ms = 0;  // from construction to the first whole line; 0: none
        // Connections of this address that may wait for a line at once; 0: no limit. A connection
        // past its first line that would wait as one too many gives up instead.
        int max_waiting = 0;
        // Adds +1 or -1 to the number of this address's connections that wait for a line and
        // returns the new number.
        std::function<int(int delta)> waiting = {};
        bool counted_as_waiting = false;  // the caller has already counted this one in
        // Keeps the first lines of this address's connections in the order they were accepted;
        // optional. Connections of one address are constructed in that order.
        std::shared_ptr<FirstLineOrder> order = {};
        Address address = {};  // where it came from; none when the server did not say
    };

    ServerConnection(int fd, int read_timeout_ms);
    ServerConnection(int fd, Limits limits);
    // A connection that had already sent `bytes` and closed its side; it has no descriptor.
    ServerConnection(std::string bytes, Limits limits);
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;
    ~ServerConnection();

    static constexpr std::size_t kMaxLineLength = 16384;
    static constexpr std::size_t kRecvBufferSize = 32768;

    // The next line without its LF (and one CR before it). Throws "Max line length exceeded."
    // for a line over kMaxLineLength bytes, "Connection Closed Gracefully." once the peer has
    // closed and every complete line was returned. Bytes left without an LF when the peer closes
    // come back as one empty line and are dropped. Throws SocketError on a socket failure and
    // "Read timed out." when nothing arrives for the read time-out (0 or less: no limit) or the
    // first line is not complete by its deadline. With an order, the first line waits for the
    // first lines of the address's earlier connections.
    std::string ReceiveLine();

    // Wakes a thread blocked in ReceiveLine(); the connection then reads as closed. Safe to call
    // from any thread while the connection object exists.
    void Abort();
    bool Closed() const { return closed_; }
    int fd() const { return fd_; }
    // Where the connection came from: the address the server accepted it from, which stays known
    // when the connection waited without its descriptor, or else its socket's peer; none when
    // neither is known.
    Address Source() const;

private:
    void Close();
    void ReadMore();
    int SetWaiting(bool waiting);  // the address's new count (0 when not counted)
    void AwaitTurn();
    void LeaveOrder();

    std::mutex fd_mutex_;  // held while fd_ is closed or shut down
    int fd_;
    Limits limits_;
    std::chrono::steady_clock::time_point first_line_deadline_;
    bool first_line_due_;  // a first-line deadline applies and no line has come yet
    bool first_line_seen_ = false;
    bool waiting_;
    std::string buffer_;
    std::size_t head_ = 0;     // bytes of buffer_ already handed out as lines
    std::size_t scanned_ = 0;  // bytes from head_ known to hold no LF
    bool peer_closed_ = false;
    bool closed_ = false;
    bool parked_ = false;  // everything the peer sent is in buffer_; the next read finds its end
    FirstLineOrder::Ticket ticket_ = 0;
    bool placed_ = false;  // may hold a place in the order
    std::atomic<bool> aborted_{false};
};

// Stream server: listens on DefaultPort and runs OnConnect for every accepted connection on a
// thread of that connection's own. Failures on a connection thread end that connection silently.
//
// Nobody on the network can keep others out: connections are accepted as fast as they come and
// wait in the server's own queue for a thread, the source addresses taking turns; when the queue
// is full, the address holding the most of it gives way. Once the queue's descriptors run out,
// a connection that has already sent everything and closed waits there without its descriptor,
// so a burst of one-line connections is kept whole. The first lines of one address's connections
// are dealt with in the order the connections were accepted (see FirstLineOrder). One source
// address may run only MaxConnectionsPerAddress connection threads and have only
// MaxWaitingPerAddress connections waiting for a line, and a connection must bring its first line
// within FirstLineTimeout. Connection threads share only a TcpServerCore with the server, so a
// handler that outlives the server object never touches freed memory.
class TcpServer {
public:
    using ConnectHandler = std::function<void(ServerConnection&)>;

    TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;
    ~TcpServer();  // stops, never throws

    int DefaultPort = 0;
    std::string BindAddress;       // empty: all local addresses
    int ListenQueue = 4096;        // the kernel caps it at net.core.somaxconn
    int TerminateWaitTime = 5000;  // milliseconds
    int MaxConnections = 256;      // connection threads at once; further connections queue
    // Connection threads one source address may have at once, so that others always find one
    // free however long its connections take; 0: no limit.
    int MaxConnectionsPerAddress = 64;
    // Accepted connections still open that wait for a thread with their descriptors (fewer when
    // the process may not open that many). When full, a newcomer replaces the newest open
    // connection of the address that holds the most, or is reset when that is its own address.
    int MaxQueuedConnections = 4096;
    // Bytes of queued connections that had already sent everything and closed (each also counts
    // AcceptQueue::kParkedOverhead); they hold no descriptor. When full, the address holding the
    // most of them gives way.
    std::size_t MaxQueuedBytes = 4u << 20;
    // Connections from one source address waiting for a line at once; a further connection from
    // that address is reset as soon as it is taken from the queue, unless it already brings a
    // whole line. 0: no limit.
    int MaxWaitingPerAddress = 16;
    int FirstLineTimeout = 5000;  // milliseconds from a thread's start to the first line; 0: none
    int ReadTimeout = 60000;      // milliseconds of silence before a connection is dropped
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
