#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>

#include "net/address.h"

namespace quorell::net {

// Keeps the first lines of one source address's connections in the order the connections were
// accepted, although each connection runs on a thread of its own. A sender that writes one line
// per connection, each after closing the last, thus has its lines dealt with in the order it
// wrote them.
//
// A connection holds a place from its acceptance until its thread has looked and found no whole
// first line yet, and again from when bytes come until it is done with its first line (it asks
// for the next one or ends). It may hand its first line out only when no connection of its
// address accepted before it holds a place. So a connection whose first line has not come holds
// nobody up once its thread has looked; the one order not kept is that of a connection whose
// thread looked before its line came, against a later one that got its own line in while the
// first thread had not yet woken to its bytes.
class FirstLineOrder {
public:
    using Ticket = std::uint64_t;

    // Called in the order the connections were accepted; the connection holds a place.
    Ticket Join(const Address& address);
    // Bytes have come: holds a place again (if it has none), without waiting.
    void Hold(const Address& address, Ticket ticket);
    // Its first line is there: takes a place if it has none, and waits until no earlier
    // connection of its address holds one, or until `give_up` returns true (checked whenever the
    // order changes and on Wake()). Returns false when it gave up.
    bool AwaitTurn(const Address& address, Ticket ticket, const std::function<bool()>& give_up);
    // Gives its place up: done with its first line, waiting for it after all, or gone. Giving up
    // no place is harmless.
    void Leave(const Address& address, Ticket ticket);
    // Makes every waiting connection check its `give_up` again.
    void Wake();

private:
    using Places = std::map<Ticket, std::condition_variable*>;  // a waiter's wake-up, or none

    std::mutex mutex_;
    Ticket next_ = 0;
    std::unordered_map<Address, Places> places_;  // only addresses holding places
};

}  // namespace quorell::net
