#include "session/known_peers.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "session/private_file.h"

namespace quorell {
namespace {

constexpr const char* kHeader = "quorell known peers 1";

bool ValidName(const std::string& name) {
    return !name.empty() && name.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

std::optional<KnownPeers> KnownPeers::Load(const std::string& folder, std::string& error) {
    KnownPeers list;
    list.path_ = folder + "/known_peers";
    struct stat st;
    if (::lstat(list.path_.c_str(), &st) != 0) {
        if (errno == ENOENT) return list;
        error = "cannot examine " + list.path_ + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    if (!ReadPrivateFile(list.path_, text, error)) return std::nullopt;

    auto corrupt = [&](size_t line, const char* why) {
        error = list.path_ + " line " + std::to_string(line) + ": " + why + "; file left as it is";
        return std::nullopt;
    };
    size_t pos = 0, line = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) return corrupt(line + 1, "no line end");
        std::string l = text.substr(pos, end - pos);
        pos = end + 1;
        if (++line == 1) {
            if (l != kHeader) return corrupt(line, "not a list of known peers");
            continue;
        }
        auto fingerprint = FingerprintFromHex(l.substr(0, 64));
        if (!fingerprint || l.size() < 65 || l[64] != ' ') return corrupt(line, "bad fingerprint");
        size_t space = l.find(' ', 65);
        if (space == std::string::npos) return corrupt(line, "no name");
        std::string state = l.substr(65, space - 65), name = l.substr(space + 1);
        if (state != "verified" && state != "unverified") return corrupt(line, "bad state");
        if (!ValidName(name)) return corrupt(line, "bad name");
        if (!list.peers_.emplace(name, Entry{*fingerprint, state == "verified"}).second)
            return corrupt(line, "name listed twice");
    }
    if (line == 0) return corrupt(1, "empty file");
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
    if (!ValidName(name)) return "a peer's name must be non-empty and on one line";
    std::map<std::string, Entry> next = peers_;
    next[name] = entry;
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [n, e] : next)
        text += ToHex(e.fingerprint) + (e.verified ? " verified " : " unverified ") + n + "\n";
    if (std::string error = WritePrivateFile(path_, text); !error.empty()) return error;
    peers_ = std::move(next);
    return {};
}

}  // namespace quorell
