#pragma once

#include <map>
#include <optional>
#include <string>

#include "session/identity.h"

namespace quorell {

// The verified peers whose files the user takes without being asked, each with the folder
// they go into. Off for every peer until the user turns it on for one; tied to the key the
// peer had then, so a peer whose key changed is asked again.
//
// The file, trusted_senders in the identity folder, is text of mode 0600, rewritten whole and
// atomically at every change. Its first line is "quorell trusted senders 1"; every further
// line is
//     <fingerprint> <folder> <name>
// where <fingerprint> is 64 lower-case hex digits, <folder> the bytes of an absolute path in
// lower-case hex (so any byte of a file name fits), and <name> the rest of the line
// (non-empty, any bytes but CR and LF; a name appears once). Anything else makes the whole
// file refused.
class TrustedSenders {
public:
    // Reads the file in `folder`; a missing file is an empty list. Returns nothing with `error`
    // set when it is unreadable, not of mode 0600 or corrupt; it is then left as it is.
    static std::optional<TrustedSenders> Load(const std::string& folder, std::string& error);

    // The folder the peer's files go into without asking; none unless the peer of this name
    // was trusted with exactly this key.
    std::optional<std::string> FolderFor(const std::string& name,
                                         const Fingerprint& fingerprint) const;

    // Takes the peer's files into `folder` (an absolute path) from now on, replacing an
    // earlier entry of the name. Returns an empty string or what went wrong; on failure the
    // list and the file are unchanged.
    std::string Trust(const std::string& name, const Fingerprint& fingerprint,
                      const std::string& folder);
    // Asks again for the peer's files.
    std::string Forget(const std::string& name);

private:
    struct Entry {
        Fingerprint fingerprint;
        std::string folder;
    };
    std::string Store(std::map<std::string, Entry> next);

    std::string path_;
    std::map<std::string, Entry> peers_;
};

}  // namespace quorell
