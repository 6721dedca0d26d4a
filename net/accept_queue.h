#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <optional>
#include <unordered_map>

namespace quorell::net {

// Accepted connections waiting for a thread, served in turn between source addresses: each
// address keeps its own line, and the addresses take turns. One address firing connections
// without end therefore delays another address's next connection by at most one of its own.
//
// The queue holds at most `capacity` connections. When it is full, a newcomer takes the place of
// the newest connection of the address that holds the most, unless its own address would then
// hold as many; then the newcomer itself is turned away. An address alone may fill the queue.
class AcceptQueue {
public:
    struct Entry {
        int fd = -1;
        std::uint32_t address = 0;  // source IPv4 address, network order
    };

    explicit AcceptQueue(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

    // Queues `entry`. Returns the entry that has to be turned away to make room (possibly
    // `entry` itself), or nothing when there was room.
    std::optional<Entry> Push(const Entry& entry);
    // The next connection to serve, or nothing when the queue is empty. With `may_start`, only
    // an address for which it returns true takes its turn; the others keep their place.
    std::optional<Entry> Pop(const std::function<bool(std::uint32_t address)>& may_start = {});

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return capacity_; }
    std::size_t Holding(std::uint32_t address) const;

private:
    std::size_t capacity_;
    std::size_t size_ = 0;
    std::unordered_map<std::uint32_t, std::deque<Entry>> lines_;  // only non-empty lines
    std::list<std::uint32_t> turns_;  // each address with a non-empty line, once
};

}  // namespace quorell::net
