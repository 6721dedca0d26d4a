#include "session/trusted_senders.h"

#include "session/peer_list.h"

namespace quorell {
namespace {

constexpr const char* kHeader = "quorell trusted senders 1";

bool ValidFolder(const std::string& folder) {
    return !folder.empty() && folder.front() == '/' && folder.find('\0') == std::string::npos;
}

std::string BytesToHex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 0xF]);
    }
    return hex;
}

std::optional<std::string> BytesFromHex(const std::string& hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<char>(high << 4 | low));
    }
    return bytes;
}

}  // namespace

std::optional<TrustedSenders> TrustedSenders::Load(const std::string& folder, std::string& error) {
    TrustedSenders list;
    list.path_ = folder + "/trusted_senders";
    const auto take = [&list](PeerListLine&& l) -> const char* {
        const std::optional<std::string> where = BytesFromHex(l.field);
        if (!where || !ValidFolder(*where)) return "bad folder";
        if (!list.peers_.emplace(l.name, Entry{l.fingerprint, *where}).second)
            return "name listed twice";
        return nullptr;
    };
    if (!ReadPeerList(list.path_, kHeader, "not a list of trusted senders", take, error))
        return std::nullopt;
    return list;
}

std::optional<std::string> TrustedSenders::FolderFor(const std::string& name,
                                                     const Fingerprint& fingerprint) const {
    const auto it = peers_.find(name);
    if (it == peers_.end() || it->second.fingerprint != fingerprint) return std::nullopt;
    return it->second.folder;
}

std::string TrustedSenders::Trust(const std::string& name, const Fingerprint& fingerprint,
                                  const std::string& folder) {
    if (!ValidPeerName(name)) return "a peer's name must be non-empty and on one line";
    if (!ValidFolder(folder)) return "the folder must be an absolute path";
    std::map<std::string, Entry> next = peers_;
    next[name] = Entry{fingerprint, folder};
    return Store(std::move(next));
}

std::string TrustedSenders::Forget(const std::string& name) {
    if (peers_.count(name) == 0) return {};
    std::map<std::string, Entry> next = peers_;
    next.erase(name);
    return Store(std::move(next));
}

std::string TrustedSenders::Store(std::map<std::string, Entry> next) {
    std::vector<PeerListLine> lines;
    for (const auto& [n, e] : next) lines.push_back({e.fingerprint, BytesToHex(e.folder), n});
    if (std::string error = WritePeerList(path_, kHeader, lines); !error.empty()) return error;
    peers_ = std::move(next);
    return {};
}

}  // namespace quorell
