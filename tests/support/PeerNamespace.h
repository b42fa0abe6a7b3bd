#pragma once

#include "RunProgram.h"

#include "util/Result.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pavix::test {

/// A network namespace of the test's own, joined to ours by a veth pair on a private /30
/// (10.213.0.0/16, cut by this process's id): a connection made from inside reaches our
/// listeners on the host end from an address that is not loopback. Removed with the
/// object. Needs root and iproute2's `ip`.
class PeerNamespace {
public:
    static Result<std::unique_ptr<PeerNamespace>> create();
    ~PeerNamespace();
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    /// Connects from inside to our end on `port`, sends `bytes` and collects the answer
    /// until the server closes (30 s at most); `status` is not 0 when that failed.
    ProgramOutput exchange(std::uint16_t port, const std::string& bytes) const;

private:
    PeerNamespace() = default;
    std::string name_, hostAddress_;
};

} // namespace pavix::test
