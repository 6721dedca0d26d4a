#include "discovery/peer_lookups.h"

#include <algorithm>

namespace quorell {

PeerLookups::PeerLookups(QByteArray own_run_id, PeerListModel* peers, std::size_t max_pending,
                         std::size_t max_waiting)
    : own_run_id_(std::move(own_run_id)),
      peers_(peers),
      max_pending_(max_pending),
      max_waiting_(max_waiting) {}

void PeerLookups::Appeared(const Key& key) {
    if (pending_.count(key) != 0 ||
        std::find(waiting_.begin(), waiting_.end(), key) != waiting_.end()) {
        return;
    }
    if (max_waiting_ == 0) return;
    if (waiting_.size() >= max_waiting_) waiting_.pop_front();
    waiting_.push_back(key);
}

std::optional<PeerLookups::Key> PeerLookups::Next() {
    if (waiting_.empty() || pending_.size() >= max_pending_) return std::nullopt;
    Key key = std::move(waiting_.front());
    waiting_.pop_front();
    pending_.insert(key);
    return key;
}

void PeerLookups::Ended(const Key& key, const QString& address, const QByteArray& run_id) {
    if (pending_.erase(key) == 0) return;
    // An announcement without an id is another program's or an older one's, never ours.
    if (!run_id.isEmpty() && run_id == own_run_id_) return;
    if (!address.isEmpty()) peers_->Add(key.first, key.second, address);
}

bool PeerLookups::Went(const Key& key) {
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), key), waiting_.end());
    peers_->Remove(key.first, key.second);
    return pending_.erase(key) != 0;
}

void PeerLookups::Clear() {
    pending_.clear();
    waiting_.clear();
    peers_->Clear();
}

}  // namespace quorell
