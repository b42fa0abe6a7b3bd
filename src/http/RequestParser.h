#pragma once

#include "http/ChunkedBody.h"
#include "http/HTTPRequest.h"
#include "http/Limits.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// One request read from a connection's bytes as they arrive. Each byte is looked at
/// once however the bytes are split, so a request that comes a byte at a time costs what
/// one sent whole does. Only the head (until it ends) and the body are kept.
///
/// The head: a request line of at least two words (method, target; more are ignored),
/// then "name: value" lines (names lower-cased, values trimmed; lines without a colon
/// skipped), up to a blank line, all of it UTF-8. The body: Content-Length bytes (a
/// value that is not a number counts as 0), or a chunked body decoded.
class RequestParser {
public:
    enum class State {
        head,        ///< the head has not ended yet
        body,        ///< the head is complete (`request()` has it), its body still arriving
        complete,    ///< `request()` is the whole request; later bytes are not its own
        ignored,     ///< the head is not a request (not UTF-8, or a request line of one
                     ///< word): later bytes are counted until the cap, never kept
        malformed,   ///< a body that cannot be framed one way (a negative Content-Length,
                     ///< repeats that disagree, Transfer-Encoding with Content-Length, a
                     ///< bad chunk): close unanswered
        unsupported, ///< a transfer coding other than chunked: answer 501
        tooLarge,    ///< more than maxRequestBytes: close unanswered
    };

    explicit RequestParser(bool remoteIsLoopback)
        : remoteIsLoopback_(remoteIsLoopback) {}

    /// Takes the next bytes of the connection; returns how many the request took (all
    /// of them, unless it ended or failed among them).
    std::size_t feed(std::string_view bytes);

    State state() const { return state_; }
    /// Once the head is complete: its method, target and headers, and the body so far.
    HTTPRequest& request() { return request_; }
    /// Whether the head asks for "100 Continue" before its body is sent.
    bool expectsContinue() const;
    /// The most bytes of this request the peer may still send: exact for a Content-Length
    /// body, what the cap leaves otherwise.
    std::size_t stillToCome() const;
    /// Bytes of memory held for the request, its parsed head included.
    std::size_t held() const { return head_.capacity() + parsedHead_ + request_.body.capacity(); }
    /// Frees what the parser holds; it takes no bytes from then on.
    void discard();

private:
    std::size_t feedHead(std::string_view bytes);
    std::size_t feedBody(std::string_view bytes);
    void parseHead(std::string_view head);
    std::size_t countAgainstCap(std::size_t count); // returns `count`

    bool remoteIsLoopback_;
    State state_ = State::head;
    HTTPRequest request_;
    std::string head_;
    std::size_t received_ = 0;
    std::size_t parsedHead_ = 0; ///< what the request's method, target and headers take
    std::optional<ChunkedBody> chunked_;
    std::uint64_t remaining_ = 0; ///< of a Content-Length body
};

} // namespace pavix
