#include "session/known_peers.h"

#include "session/peer_list.h"

namespace quorell {
namespace {

constexpr const char* kHeader = "quorell known peers 1";

}  // namespace

std::optional<KnownPeers> KnownPeers::Load(const std::string& folder, std::string& error) {
    KnownPeers list;
    list.path_ = folder + "/known_peers";
    const auto take = [&list](PeerListLine&& l) -> const char* {
        if (l.field != "verified" && l.field != "unverified") return "bad state";
        if (!list.peers_.emplace(l.name, Entry{l.fingerprint, l.field == "verified"}).second)
            return "name listed twice";
        return nullptr;
    };
    if (!ReadPeerList(list.path_, kHeader, "not a list of known peers", take, error))
        return std::nullopt;
    return list;
}

KnownPeers::Standing KnownPeers::Check(const std::string& name,
                                       const Fingerprint& fingerprint) const {
    auto it = peers_.find(name);
    if (it == peers_.end()) return Standing::New;
    if (it->second.fingerprint != fingerprint) return Standing::KeyChanged;
    return it->second.verified ? Standing::KnownVerified : Standing::KnownUnverified;
}

std::string KnownPeers::Remember(const std::string& name, const Fingerprint& fingerprint) {
    auto it = peers_.find(name);
    if (it != peers_.end()) {
        if (it->second.fingerprint != fingerprint) return "the key of " + name + " has changed";
        return {};
    }
    return Store(name, Entry{fingerprint, false});
}

std::string KnownPeers::MarkVerified(const std::string& name, const Fingerprint& fingerprint) {
    return Store(name, Entry{fingerprint, true});
}

std::string KnownPeers::Store(const std::string& name, const Entry& entry) {
    if (!ValidPeerName(name)) return "a peer's name must be non-empty and on one line";
    std::map<std::string, Entry> next = peers_;
    next[name] = entry;
    std::vector<PeerListLine> lines;
    for (const auto& [n, e] : next)
        lines.push_back({e.fingerprint, e.verified ? "verified" : "unverified", n});
    if (std::string error = WritePeerList(path_, kHeader, lines); !error.empty()) return error;
    peers_ = std::move(next);
    return {};
}

}  // namespace quorell
