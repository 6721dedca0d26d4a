#pragma once

#include <functional>
#include <string>
#include <vector>

#include "session/identity.h"

namespace quorell {

// The lists of peers kept beside the identity (known peers, trusted senders): private files of
// a header line and then one line a peer, "<the key's fingerprint in hex> <field> <name>", the
// field's meaning up to the list.

struct PeerListLine {
    Fingerprint fingerprint;
    std::string field;
    std::string name;
};

// A peer's name as a list keeps it: not empty and on one line.
bool ValidPeerName(const std::string& name);

// Reads the list at `path`, which must start with `header`; a missing file is an empty list.
// Each line goes to `take`, which returns nullptr or why the line is bad. Returns false with
// `error` set when the file cannot be read or a line is bad (`not_this_list` when the header is
// another); the file is left as it is.
bool ReadPeerList(const std::string& path, const char* header, const char* not_this_list,
                  const std::function<const char*(PeerListLine&&)>& take, std::string& error);

// Replaces the list at `path` by `header` and `lines`, as WritePrivateFile does. Returns an empty
// string or what went wrong.
std::string WritePeerList(const std::string& path, const char* header,
                          const std::vector<PeerListLine>& lines);

}  // namespace quorell
