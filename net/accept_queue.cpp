#include "net/accept_queue.h"

namespace quorell::net {

std::size_t AcceptQueue::Holding(std::uint32_t address) const {
    auto it = lines_.find(address);
    return it == lines_.end() ? 0 : it->second.size();
}

std::optional<AcceptQueue::Entry> AcceptQueue::Push(const Entry& entry) {
    const bool full = size_ >= capacity_;
    std::uint32_t longest = 0;
    if (full) {
        std::size_t most = 0;
        for (const auto& [address, line] : lines_) {
            if (line.size() > most) {
                most = line.size();
                longest = address;
            }
        }
        // Giving up one must leave the longest line longer than the newcomer's; so it is never
        // the newcomer's own line, and it never empties here.
        if (most <= Holding(entry.address) + 1) return entry;
    }

    auto [it, fresh] = lines_.try_emplace(entry.address);
    try {
        it->second.push_back(entry);
        if (fresh) turns_.push_back(entry.address);
    } catch (...) {
        if (fresh) lines_.erase(it);
        throw;
    }
    ++size_;
    if (!full) return std::nullopt;

    std::deque<Entry>& line = lines_.find(longest)->second;
    const Entry turned_away = line.back();
    line.pop_back();
    --size_;
    return turned_away;
}

std::optional<AcceptQueue::Entry> AcceptQueue::Pop(
    const std::function<bool(std::uint32_t address)>& may_start) {
    auto turn = turns_.begin();
    while (turn != turns_.end() && may_start && !may_start(*turn)) ++turn;
    if (turn == turns_.end()) return std::nullopt;
    auto it = lines_.find(*turn);
    const Entry next = it->second.front();
    it->second.pop_front();
    --size_;
    if (it->second.empty()) {
        lines_.erase(it);
        turns_.erase(turn);
    } else {
        turns_.splice(turns_.end(), turns_, turn);  // its next turn comes last
    }
    return next;
}

}  // namespace quorell::net
