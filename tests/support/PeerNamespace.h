#pragma once

#include "RunProgram.h"

#include "util/Result.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pavix::test {

/// A network namespace of the test's own, joined to ours by a veth pair on a private /30
/// (10.213.0.0/16 cut by this process's id): our end holds hostAddress(), the namespace's
/// end peerAddress(). A connection made from inside reaches our listeners on hostAddress()
/// from an address that is not loopback, and goes nowhere but over that pair. Names derive
/// from this process's id; the namespace and both ends go with the object. Needs root
/// (CAP_NET_ADMIN) and iproute2's `ip`.
class PeerNamespace {
public:
    /// The namespace ready for use, or why it could not be made.
    static Result<std::unique_ptr<PeerNamespace>> create();
    ~PeerNamespace();
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    const std::string& name() const { return name_; }
    const std::string& hostAddress() const { return hostAddress_; }
    const std::string& peerAddress() const { return peerAddress_; }

    /// Connects from inside the namespace to hostAddress():`port`, sends `bytes` and
    /// collects all that comes back until the server closes (30 s at most). `status` is
    /// not 0 when the connection failed or timed out.
    ProgramOutput exchange(std::uint16_t port, const std::string& bytes) const;

private:
    PeerNamespace() = default;
    ProgramOutput ip(const std::vector<std::string>& arguments) const;

    std::filesystem::path ip_;
    bool made_ = false; ///< the namespace is ours to delete
    std::string name_, hostLink_, peerLink_, hostAddress_, peerAddress_;
};

} // namespace pavix::test
