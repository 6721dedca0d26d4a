#pragma once

#include <string>

namespace quorell {

// This machine's first IPv4 address as dotted decimal text: the host name resolved by the
// system resolver. When that gives nothing, the first non-loopback interface address, and as
// the last resort 127.0.0.1, so connecting never stops for want of an address the peer ignores.
std::string GetLocalIP();

}  // namespace quorell
