#include "support/memory_file_link.h"

#include <chrono>

#include "common/errors.h"

namespace quorell::test {

MemoryFileLink::MemoryFileLink(int reply_timeout_ms, std::string source_address,
                               int first_source_port)
    : reply_timeout_(reply_timeout_ms),
      source_address_(std::move(source_address)),
      source_port_(first_source_port) {}

void MemoryFileLink::SetPeerHost(const std::string& host) {
    std::lock_guard lock(mutex_);
    host_ = host;
}

std::string MemoryFileLink::PeerHost() const {
    std::lock_guard lock(mutex_);
    return host_;
}

std::string MemoryFileLink::Resolve(const std::string& host) {
    std::lock_guard lock(mutex_);
    if (host.empty() || host == unknown_host_) throw Error("Host not found.");
    return host;
}

void MemoryFileLink::OpenLocked() {
    if (open_) return;
    if (opened_before_) ++source_port_;
    open_ = opened_before_ = true;
}

void MemoryFileLink::Open() {
    std::lock_guard lock(mutex_);
    OpenLocked();
}

void MemoryFileLink::Close() {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    open_ = false;
    ++closes_;
    replies_.clear();  // they were waiting in the socket that is gone
    replied_.notify_all();
}

bool MemoryFileLink::IsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void MemoryFileLink::Send(const std::string& to, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    OpenLocked();
    Datagram datagram{to, std::string(bytes), source_port_, drop_ > 0};
    if (drop_ > 0) --drop_;
    sent_.push_back(std::move(datagram));
    if (!sent_.back().dropped) undelivered_.push_back(sent_.size() - 1);
}

std::optional<std::string> MemoryFileLink::Receive(int timeout_ms) {
    std::unique_lock lock(mutex_);
    OpenLocked();
    const unsigned socket = closes_;
    auto ready = [&] { return !replies_.empty() || closes_ != socket; };
    if (timeout_ms < 0) {
        replied_.wait(lock, ready);
    } else if (!replied_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
        return std::nullopt;
    }
    if (closes_ != socket) throw Error("Socket operation on non-socket.");
    std::string reply = std::move(replies_.front());
    replies_.pop_front();
    return reply;
}

int MemoryFileLink::ReplyTimeout() const {
    std::lock_guard lock(mutex_);
    return reply_timeout_;
}

std::vector<MemoryFileLink::Datagram> MemoryFileLink::Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::vector<std::string> MemoryFileLink::SentBytes() const {
    std::vector<std::string> bytes;
    for (const Datagram& d : Sent()) bytes.push_back(d.bytes);
    return bytes;
}

std::size_t MemoryFileLink::Pump(const Peer& peer, std::size_t most) {
    std::size_t delivered = 0;
    while (delivered < most) {
        Datagram datagram;
        unsigned socket = 0;
        {
            std::lock_guard lock(mutex_);
            if (undelivered_.empty()) break;
            datagram = sent_[undelivered_.front()];
            undelivered_.pop_front();
            // The socket it left from, if it is still the open one.
            socket = open_ && datagram.source_port == source_port_ ? closes_ : ~0u;
        }
        ++delivered;
        peer(datagram.bytes, source_address_, datagram.source_port,
             [this, socket](std::string_view reply) {
                 std::lock_guard lock(mutex_);
                 if (!open_ || closes_ != socket) return;  // nobody there to read it
                 replies_.emplace_back(reply);
                 replied_.notify_all();
             });
    }
    return delivered;
}

void MemoryFileLink::Reply(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    replies_.emplace_back(bytes);
    replied_.notify_all();
}

void MemoryFileLink::DropNext(int count) {
    std::lock_guard lock(mutex_);
    drop_ += count;
}

void MemoryFileLink::SetReplyTimeout(int ms) {
    std::lock_guard lock(mutex_);
    reply_timeout_ = ms;
}

void MemoryFileLink::FailResolving(const std::string& host) {
    std::lock_guard lock(mutex_);
    unknown_host_ = host;
}

int MemoryFileLink::SourcePort() const {
    std::lock_guard lock(mutex_);
    return source_port_;
}

}  // namespace quorell::test
