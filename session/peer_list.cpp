#include "session/peer_list.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "session/private_file.h"

namespace quorell {

bool ValidPeerName(const std::string& name) {
    return !name.empty() && name.find_first_of("\r\n") == std::string::npos;
}

bool ReadPeerList(const std::string& path, const char* header, const char* not_this_list,
                  const std::function<const char*(PeerListLine&&)>& take, std::string& error) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        error = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    if (!ReadPrivateFile(path, text, error)) return false;

    auto corrupt = [&](std::size_t line, const char* why) {
        error = path + " line " + std::to_string(line) + ": " + why + "; file left as it is";
        return false;
    };
    std::size_t pos = 0, line = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) return corrupt(line + 1, "no line end");
        const std::string l = text.substr(pos, end - pos);
        pos = end + 1;
        if (++line == 1) {
            if (l != header) return corrupt(line, not_this_list);
            continue;
        }
        const auto fingerprint = FingerprintFromHex(l.substr(0, 64));
        if (!fingerprint || l.size() < 65 || l[64] != ' ') return corrupt(line, "bad fingerprint");
        const std::size_t space = l.find(' ', 65);
        if (space == std::string::npos) return corrupt(line, "no name");
        PeerListLine entry{*fingerprint, l.substr(65, space - 65), l.substr(space + 1)};
        if (!ValidPeerName(entry.name)) return corrupt(line, "bad name");
        if (const char* why = take(std::move(entry))) return corrupt(line, why);
    }
    if (line == 0) return corrupt(1, "empty file");
    return true;
}

std::string WritePeerList(const std::string& path, const char* header,
                          const std::vector<PeerListLine>& lines) {
    std::string text = std::string(header) + "\n";
    for (const PeerListLine& l : lines)
        text += ToHex(l.fingerprint) + " " + l.field + " " + l.name + "\n";
    return WritePrivateFile(path, text);
}

}  // namespace quorell
