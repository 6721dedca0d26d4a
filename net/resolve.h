#pragma once

#include <string>

#include "net/address.h"

namespace quorell::net {

// "LOCALHOST" in any letter case is 127.0.0.1 without a lookup; four dot-separated parts that
// each read as a number from 0 to 255 are the address itself; anything else is looked up with
// the system resolver (IPv4 only). Throws SocketError(11001) "Host not found." when that fails.
Address ResolveHost(const std::string& host);

// Where a server listens: every local IPv4 address (0.0.0.0) for an empty text, otherwise the
// address as ResolveHost finds it.
Address ResolveBindAddress(const std::string& address);

// The address's text (dotted decimal for IPv4).
inline std::string FormatAddress(const Address& address) {
    return address.Text();
}

}  // namespace quorell::net
