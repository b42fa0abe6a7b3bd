#pragma once

#include <cstdint>

namespace pavix::test {

/// A close-on-exec TCP socket bound to 127.0.0.1 on a port the system chose, not yet
/// listening; that port is stored in `port`. Throws when the system refuses.
int boundLoopbackSocket(std::uint16_t& port);

/// A port that was free a moment ago on every IPv4 address, below the ephemeral range
/// where one can be found; 0 when none could be had.
std::uint16_t freePort();

} // namespace pavix::test
