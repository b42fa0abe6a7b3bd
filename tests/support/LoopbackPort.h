#pragma once

#include <cstdint>

namespace pavix::test {

/// A close-on-exec TCP socket bound to 127.0.0.1 on a port the system chose (stored in
/// `port`), not yet listening. Throws when the system refuses.
int boundLoopbackSocket(std::uint16_t& port);

/// A port kept for a server of ours while this lives, below the ephemeral range: a client
/// connecting to a port in that range while nothing listens can be handed that very port as
/// its own and connect to itself, which looks like a listener. It is bound on every IPv4
/// address without address reuse, which no other reservation or listener shares, then
/// marked reusable, so that a server that reuses addresses (as the service does) can listen
/// on it meanwhile: a test running beside ours can no longer take it between our choice and
/// the server's start. Throws when no port is free.
class ReservedPort {
public:
    ReservedPort();
    ~ReservedPort();
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;

    std::uint16_t number() const { return number_; }

private:
    int fd_ = -1;
    std::uint16_t number_ = 0;
};

} // namespace pavix::test
