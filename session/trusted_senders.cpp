#include "session/trusted_senders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "session/private_file.h"

namespace quorell {
namespace {

constexpr const char* kHeader = "quorell trusted senders 1";

bool ValidName(const std::string& name) {
    return !name.empty() && name.find_first_of("\r\n") == std::string::npos;
}

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
    struct stat st;
    if (::lstat(list.path_.c_str(), &st) != 0) {
        if (errno == ENOENT) return list;
        error = "cannot examine " + list.path_ + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    if (!ReadPrivateFile(list.path_, text, error)) return std::nullopt;

    auto corrupt = [&](std::size_t line, const char* why) {
        error = list.path_ + " line " + std::to_string(line) + ": " + why + "; file left as it is";
        return std::nullopt;
    };
    std::size_t pos = 0, line = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) return corrupt(line + 1, "no line end");
        const std::string l = text.substr(pos, end - pos);
        pos = end + 1;
        if (++line == 1) {
            if (l != kHeader) return corrupt(line, "not a list of trusted senders");
            continue;
        }
        const auto fingerprint = FingerprintFromHex(l.substr(0, 64));
        if (!fingerprint || l.size() < 65 || l[64] != ' ') return corrupt(line, "bad fingerprint");
        const std::size_t space = l.find(' ', 65);
        if (space == std::string::npos) return corrupt(line, "no name");
        const std::optional<std::string> where = BytesFromHex(l.substr(65, space - 65));
        if (!where || !ValidFolder(*where)) return corrupt(line, "bad folder");
        const std::string name = l.substr(space + 1);
        if (!ValidName(name)) return corrupt(line, "bad name");
        if (!list.peers_.emplace(name, Entry{*fingerprint, *where}).second)
            return corrupt(line, "name listed twice");
    }
    if (line == 0) return corrupt(1, "empty file");
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
    if (!ValidName(name)) return "a peer's name must be non-empty and on one line";
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
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [n, e] : next)
        text += ToHex(e.fingerprint) + " " + BytesToHex(e.folder) + " " + n + "\n";
    if (std::string error = WritePrivateFile(path_, text); !error.empty()) return error;
    peers_ = std::move(next);
    return {};
}

}  // namespace quorell
