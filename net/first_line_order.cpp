#include "net/first_line_order.h"

namespace quorell::net {

FirstLineOrder::Ticket FirstLineOrder::Join(const Address& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Ticket ticket = next_;
    places_[address].emplace(ticket, nullptr);
    ++next_;
    return ticket;
}

void FirstLineOrder::Hold(const Address& address, Ticket ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    places_[address].emplace(ticket, nullptr);
}

bool FirstLineOrder::AwaitTurn(const Address& address, Ticket ticket,
                               const std::function<bool()>& give_up) {
    std::condition_variable turn;
    std::unique_lock<std::mutex> lock(mutex_);
    Places& places = places_[address];
    places[ticket] = &turn;
    bool first = false;
    // `places` stays valid: the address holds this connection's place throughout.
    turn.wait(lock, [&] {
        first = places.begin()->first == ticket;
        return first || give_up();
    });
    places[ticket] = nullptr;
    return first;
}

void FirstLineOrder::Leave(const Address& address, Ticket ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = places_.find(address);
    if (it == places_.end()) return;
    Places& places = it->second;
    const bool was_first = !places.empty() && places.begin()->first == ticket;
    if (places.erase(ticket) == 0) return;
    if (places.empty()) {
        places_.erase(it);
    } else if (was_first && places.begin()->second != nullptr) {
        places.begin()->second->notify_one();
    }
}

void FirstLineOrder::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [address, places] : places_) {
        for (auto& [ticket, waiter] : places) {
            if (waiter != nullptr) waiter->notify_one();
        }
    }
}

}  // namespace quorell::net
