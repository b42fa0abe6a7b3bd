#pragma once

#include "http/HTTPRequest.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pavix {

/// What the bytes received so far amount to.
struct ParsedRequest {
    enum class State {
        incomplete, ///< no complete, well-formed request yet: keep reading
        complete,   ///< `request` holds it
        malformed,  ///< can never become a request (a negative Content-Length, or
                    ///< Content-Length lines that disagree): close now
    };
    State state = State::incomplete;
    HTTPRequest request;
    /// While incomplete: the buffer cannot become a request before it holds this many
    /// bytes (SIZE_MAX: never), so parsing it again sooner is wasted work.
    std::size_t parseAgainAt = 0;
};

/// Parses the request at the start of `buffer`; bytes after its body are ignored.
/// A head that is not UTF-8 or whose request line has fewer than two words counts as
/// incomplete, like a head that has not fully arrived. Repeated Content-Length lines
/// must agree in value, or the body could be taken two ways. A path whose decoding
/// would turn an escaped "/" (%2F) into a separator is kept as received.
ParsedRequest parseRequest(std::string_view buffer, bool remoteIsLoopback);

/// Whether a peer address in its usual text form is a loopback one: "127.0.0.1",
/// "::1" or an IPv4-mapped address in 127/8 ("::ffff:127.…").
bool isLoopbackAddress(std::string_view address);

/// A Content-Length value: optional sign and ASCII digits within 64 bits; anything else is 0.
std::int64_t contentLength(std::string_view value);

} // namespace pavix
