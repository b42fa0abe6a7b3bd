#pragma once

#include <cstdint>

namespace pavix::test {

/// A close-on-exec TCP socket bound to 127.0.0.1 on a port the system chose (stored in
/// `port`), not yet listening. Throws when the system refuses.
int boundLoopbackSocket(std::uint16_t& port);

/// A port that was free a moment ago on every IPv4 address, below the ephemeral range:
/// a client connecting to a port in that range while nothing listens can be handed that
/// very port as its own and connect to itself, which looks like a listener.
std::uint16_t freePort();

} // namespace pavix::test
