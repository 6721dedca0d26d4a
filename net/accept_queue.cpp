#include "net/accept_queue.h"

#include <algorithm>

namespace quorell::net {

std::size_t AcceptQueue::Holding(const Address& address) const {
    auto it = lines_.find(address);
    return it == lines_.end() ? 0 : it->second.open.size() + it->second.parked.size();
}

AcceptQueue::Line& AcceptQueue::LineOf(const Address& address) {
    auto [it, fresh] = lines_.try_emplace(address);
    if (fresh) {
        try {
            turns_.push_back(address);
        } catch (...) {
            lines_.erase(it);
            throw;
        }
    }
    return it->second;
}

void AcceptQueue::DropIfEmpty(const Address& address) {
    auto it = lines_.find(address);
    if (it == lines_.end() || !it->second.empty()) return;
    // `address` may be the key of the line erased here.
    turns_.erase(std::find(turns_.begin(), turns_.end(), address));
    lines_.erase(it);
}

Address AcceptQueue::MostHeld(const std::function<std::size_t(const Line&)>& measure,
                              const Address& preferred) const {
    Address most = preferred;
    auto own = lines_.find(preferred);
    std::size_t held = own == lines_.end() ? 0 : measure(own->second);
    for (const auto& [address, line] : lines_) {
        if (measure(line) > held) {
            held = measure(line);
            most = address;
        }
    }
    return most;
}

std::optional<AcceptQueue::Entry> AcceptQueue::Push(const Entry& entry) {
    const bool full = open_ >= descriptor_capacity_;
    Address longest;
    if (full) {
        auto open = [](const Line& line) { return line.open.size(); };
        longest = MostHeld(open, entry.address);
        auto own = lines_.find(entry.address);
        const std::size_t own_open = own == lines_.end() ? 0 : open(own->second);
        // Giving up one must leave the longest line longer than the newcomer's; so it is never
        // the newcomer's own line, and it never empties here.
        if (longest == entry.address || open(lines_.find(longest)->second) <= own_open + 1) {
            return entry;
        }
    }

    Line& line = LineOf(entry.address);
    try {
        Entry queued = entry;
        queued.sequence = next_sequence_;
        line.open.push_back(std::move(queued));
    } catch (...) {
        DropIfEmpty(entry.address);
        throw;
    }
    ++next_sequence_;
    ++open_;
    ++size_;
    if (!full) return std::nullopt;

    std::deque<Entry>& open = lines_.find(longest)->second.open;
    Entry turned_away = std::move(open.back());
    open.pop_back();
    --open_;
    --size_;
    return turned_away;
}

std::vector<AcceptQueue::Entry> AcceptQueue::Park(const Address& address, std::string bytes) {
    std::vector<Entry> turned_away;
    Entry entry{-1, address, std::move(bytes), next_sequence_};
    const std::size_t cost = Cost(entry);
    if (cost > byte_capacity_) {
        turned_away.push_back(std::move(entry));
        return turned_away;
    }
    Line& line = LineOf(address);
    try {
        line.parked.push_back(std::move(entry));
    } catch (...) {
        DropIfEmpty(address);
        throw;
    }
    ++next_sequence_;
    line.parked_cost += cost;
    parked_cost_ += cost;
    ++size_;

    // A tie goes against the newcomer's address, so the newcomer itself is turned away before
    // anyone else's.
    TrimParked(address, turned_away);
    return turned_away;
}

std::vector<AcceptQueue::Entry> AcceptQueue::ParkFinished(
    const std::function<std::optional<std::string>(int fd)>& take) {
    std::vector<Entry> turned_away;
    for (auto& [address, line] : lines_) {
        for (auto it = line.open.begin(); it != line.open.end();) {
            std::optional<std::string> bytes = take(it->fd);
            if (!bytes) {
                ++it;
                continue;
            }
            Entry entry{-1, address, std::move(*bytes), it->sequence};
            const std::size_t cost = Cost(entry);
            auto place = std::upper_bound(
                line.parked.begin(), line.parked.end(), entry.sequence,
                [](std::uint64_t sequence, const Entry& e) { return sequence < e.sequence; });
            line.parked.insert(place, std::move(entry));
            line.parked_cost += cost;
            parked_cost_ += cost;
            it = line.open.erase(it);
            --open_;
        }
    }
    TrimParked(Address(), turned_away);
    return turned_away;
}

void AcceptQueue::TrimParked(const Address& preferred, std::vector<Entry>& turned_away) {
    // Whoever holds the most gives up its newest until everything fits.
    auto parked = [](const Line& l) { return l.parked_cost; };
    while (parked_cost_ > byte_capacity_) {
        const Address most = MostHeld(parked, preferred);
        Line& victim = lines_.find(most)->second;
        Entry away = std::move(victim.parked.back());
        victim.parked.pop_back();
        victim.parked_cost -= Cost(away);
        parked_cost_ -= Cost(away);
        --size_;
        DropIfEmpty(most);
        turned_away.push_back(std::move(away));
    }
}

std::optional<AcceptQueue::Entry> AcceptQueue::Pop(
    const std::function<bool(const Address& address)>& may_start) {
    auto turn = turns_.begin();
    while (turn != turns_.end() && may_start && !may_start(*turn)) ++turn;
    if (turn == turns_.end()) return std::nullopt;
    auto it = lines_.find(*turn);
    Line& line = it->second;
    // The older of the two fronts: an address's connections leave in the order they came.
    const bool take_open =
        line.parked.empty() ||
        (!line.open.empty() && line.open.front().sequence < line.parked.front().sequence);
    std::deque<Entry>& from = take_open ? line.open : line.parked;
    Entry next = std::move(from.front());
    from.pop_front();
    --size_;
    if (take_open) {
        --open_;
    } else {
        line.parked_cost -= Cost(next);
        parked_cost_ -= Cost(next);
    }
    if (line.empty()) {
        lines_.erase(it);
        turns_.erase(turn);
    } else {
        turns_.splice(turns_.end(), turns_, turn);  // its next turn comes last
    }
    return next;
}

}  // namespace quorell::net
