#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace pavix {

class PeerWatch;

/// A parsed request, handed by value from the connection to the API.
struct HTTPRequest {
    std::string method;                         ///< upper case, never empty
    std::string path;                           ///< decoded, or as sent if it has %2F; no query
    std::map<std::string, std::string> query;   ///< decoded; last repeat wins
    std::map<std::string, std::string> headers; ///< names lower case; values trimmed
    std::string body;                           ///< exactly Content-Length bytes
    bool remoteIsLoopback = false;
    /// The connection it came on, for a handler that must know whether its peer is still
    /// there (PeerWatch.h); null when it came on none.
    std::shared_ptr<PeerWatch> peer;
    std::string remoteAddress; ///< the peer's IP address as text (IPv4 for a mapped one)

    /// The token after "Bearer " (scheme matched without regard to case), trimmed;
    /// never empty when present.
    std::optional<std::string> bearer() const;
};

} // namespace pavix
