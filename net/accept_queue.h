#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/address.h"

namespace quorell::net {

// Accepted connections waiting for a thread, served in turn between source addresses: each
// address keeps its own line, in the order its connections were accepted, and the addresses take
// turns. One address firing connections without end therefore delays another address's next
// connection by at most one of its own.
//
// A connection is queued either open, holding its descriptor, or parked: it had already sent
// everything and closed its side, so only its bytes are kept. The two are bounded apart:
// at most `descriptors` open ones, and parked ones costing at most `bytes` (each its bytes plus
// kParkedOverhead). When one bound is full, a newcomer of that kind takes the place of the newest
// connection of the same kind of the address that holds the most of it, unless its own address
// would then hold as much; then the newcomer itself is turned away. An address alone may fill
// the queue.
class AcceptQueue {
public:
    struct Entry {
        int fd = -1;                 // -1: parked
        Address address = {};        // where it came from
        std::string bytes = {};      // everything a parked connection sent
        std::uint64_t sequence = 0;  // set by the queue: the order of arrival

        bool parked() const { return fd < 0; }
    };

    // What a parked connection costs beyond its bytes: the entry and its allocation.
    static constexpr std::size_t kParkedOverhead = 128;

    explicit AcceptQueue(std::size_t descriptors, std::size_t bytes = 4u << 20)
        : descriptor_capacity_(descriptors > 0 ? descriptors : 1), byte_capacity_(bytes) {}

    // Queues an open connection. Returns the entry that has to be turned away to make room
    // (possibly `entry` itself), or nothing when there was room.
    std::optional<Entry> Push(const Entry& entry);
    // Queues a parked connection. Returns the parked entries turned away to make room (possibly
    // the newcomer itself).
    std::vector<Entry> Park(const Address& address, std::string bytes);
    // Parks, in their places, the open connections for which `take` returns everything they
    // sent (having closed their descriptors). Returns the parked entries turned away to make room.
    std::vector<Entry> ParkFinished(const std::function<std::optional<std::string>(int fd)>& take);
    // The next connection to serve, or nothing when the queue is empty. With `may_start`, only
    // an address for which it returns true takes its turn; the others keep their place.
    std::optional<Entry> Pop(const std::function<bool(const Address& address)>& may_start = {});

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return descriptor_capacity_; }
    bool DescriptorsFull() const { return open_ >= descriptor_capacity_; }
    std::size_t Holding(const Address& address) const;
    std::size_t ParkedCost() const { return parked_cost_; }

private:
    struct Line {
        std::deque<Entry> open;
        std::deque<Entry> parked;
        std::size_t parked_cost = 0;
        bool empty() const { return open.empty() && parked.empty(); }
    };

    static std::size_t Cost(const Entry& entry) { return entry.bytes.size() + kParkedOverhead; }
    // The address holding the most by `measure`; `preferred` wins a tie.
    Address MostHeld(const std::function<std::size_t(const Line&)>& measure,
                     const Address& preferred) const;
    Line& LineOf(const Address& address);
    // Turns parked entries away until they fit in the bytes; `preferred` loses a tie.
    void TrimParked(const Address& preferred, std::vector<Entry>& turned_away);
    void DropIfEmpty(const Address& address);

    std::size_t descriptor_capacity_;
    std::size_t byte_capacity_;
    std::size_t size_ = 0;
    std::size_t open_ = 0;
    std::size_t parked_cost_ = 0;
    std::uint64_t next_sequence_ = 0;
    std::unordered_map<Address, Line> lines_;  // only non-empty lines
    std::list<Address> turns_;                 // each address with a non-empty line, once
};

}  // namespace quorell::net
