#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "links/file_link.h"

namespace quorell::test {

// The file link in one process, without sockets. What the sender sends is recorded as it
// would go on the wire and waits until the test hands it to the peer's side (Pump); the
// peer's answers come back as the sender's next replies. The sender thread sends and waits,
// the test's thread pumps and answers.
class MemoryFileLink : public IFileLink {
public:
    // The peer's side of one datagram: its bytes, where it came from, and how to answer it.
    using Peer = std::function<void(std::string_view data, const std::string& source_address,
                                    int source_port, const FileDatagramReply& reply)>;
    struct Datagram {
        std::string to;  // as the sender named it
        std::string bytes;
        int source_port = 0;
        bool dropped = false;
    };

    // Where the sender's datagrams seem to come from: each opening after a close is a socket
    // of its own, on the next port.
    explicit MemoryFileLink(int reply_timeout_ms = 20000, std::string source_address = "127.0.0.1",
                            int first_source_port = 40000);

    void SetPeerHost(const std::string& host) override;
    std::string PeerHost() const override;
    // The host itself; one listed by FailResolving is not found.
    std::string Resolve(const std::string& host) override;
    void Open() override;
    void Close() override;
    bool IsOpen() const override;
    void Send(const std::string& to, std::string_view bytes) override;
    std::optional<std::string> Receive(int timeout_ms) override;
    int ReplyTimeout() const override;

    // Everything the sender sent, in order, lost ones too.
    std::vector<Datagram> Sent() const;
    std::vector<std::string> SentBytes() const;
    // Hands the datagrams not yet delivered to the peer, in order and at most `most` of them,
    // on the caller's thread. An answer reaches the sender only while the socket it came to is
    // still open. Returns how many were delivered.
    std::size_t Pump(const Peer& peer, std::size_t most = std::numeric_limits<std::size_t>::max());
    // A datagram as if from the peer's file port, to the socket open now.
    void Reply(std::string_view bytes);
    // The next `count` datagrams sent are lost on the way: recorded, never delivered.
    void DropNext(int count = 1);
    void SetReplyTimeout(int ms);
    void FailResolving(const std::string& host);
    // The port the sender's socket has now.
    int SourcePort() const;

private:
    void OpenLocked();

    mutable std::mutex mutex_;
    std::condition_variable replied_;
    int reply_timeout_;
    const std::string source_address_;
    int source_port_;
    std::string host_;
    std::string unknown_host_;
    bool open_ = false;
    bool opened_before_ = false;
    unsigned closes_ = 0;  // each close ends a socket and wakes its waits
    int drop_ = 0;
    std::vector<Datagram> sent_;
    std::deque<std::size_t> undelivered_;  // of sent_
    std::deque<std::string> replies_;
};

}  // namespace quorell::test
