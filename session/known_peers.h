#pragma once

#include <map>
#include <optional>
#include <string>

#include "session/identity.h"

namespace quorell {

// The peers this user has met, by the name each announces, with the fingerprint of its
// certificate and whether the user compared the verification code.
//
// The file, known_peers in the identity folder, is text of mode 0600, rewritten whole and
// atomically at every change. Its first line is "quorell known peers 1"; every further line is
//     <fingerprint> <state> <name>
// where <fingerprint> is 64 lower-case hex digits, <state> is "verified" or "unverified", one
// space apart, and <name> is the rest of the line (non-empty, any bytes but CR and LF; a name
// appears once). Lines end in LF. Anything else makes the whole file refused.
class KnownPeers {
public:
    enum class Standing {
        New,              // no peer of this name yet
        KnownVerified,    // the same key as before, and the user verified it
        KnownUnverified,  // the same key as before, never verified
        KeyChanged,       // a different key than the one on record: never accept silently
    };

    // Reads the file in `folder`; a missing file is an empty list. Returns nothing with `error`
    // set when the file is unreadable, not of mode 0600 or corrupt; it is then left as it is.
    static std::optional<KnownPeers> Load(const std::string& folder, std::string& error);

    Standing Check(const std::string& name, const Fingerprint& fingerprint) const;

    // Records a new peer as unverified. Refuses a name already on record with another key (only
    // MarkVerified replaces a key). Returns an empty string or what went wrong; on failure the
    // list and the file are unchanged.
    std::string Remember(const std::string& name, const Fingerprint& fingerprint);

    // Records that the user verified this peer's key, replacing any earlier key of the name.
    std::string MarkVerified(const std::string& name, const Fingerprint& fingerprint);

private:
    struct Entry {
        Fingerprint fingerprint;
        bool verified;
    };
    std::string Store(const std::string& name, const Entry& entry);

    std::string path_;
    std::map<std::string, Entry> peers_;
};

}  // namespace quorell
