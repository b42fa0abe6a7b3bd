#pragma once

#include "util/Result.h"

#include <string>
#include <vector>

namespace pavix {

struct NetworkAddress {
    std::string address; ///< numeric text, as a phone would type it
    std::string interfaceName;
};

/// This computer's addresses that a phone on one of its networks can reach: those of the
/// interfaces that are up, loopback left out, and IPv6 link-local addresses too (they work
/// only with the phone's own interface named as a zone, which a URL on a phone can't be
/// relied on to carry, and every IPv6 interface has one). IPv4 first, then IPv6, each in
/// the system's order.
Result<std::vector<NetworkAddress>> networkAddresses();

} // namespace pavix
