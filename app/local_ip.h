#pragma once

#include <string>

namespace quorell {

// This machine's IPv4 address as dotted decimal text: the first address of an interface that is
// up and not the loopback; without one, the host name resolved by the system resolver; as the
// last resort 127.0.0.1, so connecting never stops for want of an address.
std::string GetLocalIP();

}  // namespace quorell
