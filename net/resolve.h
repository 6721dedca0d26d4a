#pragma once

#include <netinet/in.h>

#include <string>

namespace quorell::net {

// "LOCALHOST" in any letter case is 127.0.0.1 without a lookup; four dot-separated parts that
// each read as a number from 0 to 255 are the address itself; anything else is looked up with
// the system resolver (IPv4 only). Throws SocketError(11001) "Host not found." when that fails.
in_addr ResolveHost(const std::string& host);

// True for four dot-separated decimal parts, each 0..255; stores the address in *out.
bool ParseDottedQuad(const std::string& text, in_addr* out);

// Dotted decimal text of an address.
std::string FormatAddress(in_addr addr);

}  // namespace quorell::net
