#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <deque>
#include <optional>
#include <set>
#include <utility>

#include "discovery/peer_list_model.h"

namespace quorell {

// What discovery makes of the daemon's reports, without the daemon: which announcements are
// looked up, and which of those found are listed. At most max_pending lookups run at once; the
// announcements beyond wait for a free one, at most max_waiting of them (the oldest give way,
// as in the list). Our own announcement is told by the run id in its TXT record, never by its
// name: another machine may announce the name we hold, or held before a clash renamed us.
class PeerLookups {
public:
    using Key = std::pair<int, QByteArray>;  // interface, instance name

    PeerLookups(QByteArray own_run_id, PeerListModel* peers, std::size_t max_pending,
                std::size_t max_waiting);

    // An announcement appeared: it waits for a lookup unless one is pending or waiting.
    void Appeared(const Key& key);
    // The next announcement to look up while a lookup is free; it is pending from now on.
    std::optional<Key> Next();
    // The lookup of key ended. address: the IPv4 address found, empty when it failed;
    // run_id: the id in its TXT record, empty when it has none.
    void Ended(const Key& key, const QString& address, const QByteArray& run_id);
    // The announcement went: it is no longer listed nor waiting. True when its lookup was
    // pending, which is to be cancelled.
    bool Went(const Key& key);
    // Forgets every lookup and empties the list.
    void Clear();

    std::size_t Pending() const { return pending_.size(); }
    std::size_t Waiting() const { return waiting_.size(); }

private:
    QByteArray own_run_id_;
    PeerListModel* peers_;
    std::size_t max_pending_;
    std::size_t max_waiting_;
    std::set<Key> pending_;
    std::deque<Key> waiting_;
};

}  // namespace quorell
