#pragma once

#include <cstdint>

namespace pavix::test {

/// A close-on-exec TCP socket bound to 127.0.0.1 on a port the system chose, not yet
/// listening; that port is stored in `port`. Throws when the system refuses.
int boundLoopbackSocket(std::uint16_t& port);

/// A loopback port that was free a moment ago (bound to port 0, then released); 0 when
/// none could be had.
std::uint16_t freePort();

} // namespace pavix::test
