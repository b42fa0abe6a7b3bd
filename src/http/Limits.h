#pragma once

#include <chrono>
#include <cstddef>

namespace pavix {

// What one peer may cost the server, in one place. (JSON bodies are parsed at most
// `maximumNesting` levels deep, 512, in util/Json.h, which every layer uses.)

/// The most bytes one request may take on the wire, head, chunk framing and body
/// together; a request that would take more is closed unanswered.
inline constexpr std::size_t maxRequestBytes = 2'000'000;

/// A connection that has not delivered a complete request by then is closed unanswered.
inline constexpr auto requestDeadline = std::chrono::seconds(60);

/// The most memory all requests being read on one loop may hold together.
inline constexpr std::size_t requestBufferBudget = std::size_t{64} << 20;
/// Bytes asked for per read.
inline constexpr std::size_t readChunkSize = 65'536;

/// How long an answer given before the body is read waits for a peer still sending.
inline constexpr auto lingerTime = std::chrono::seconds(2);

/// A silent connection waits in the kernel, not in the server, for about this long; then it
/// is accepted all the same and the request deadline applies.
inline constexpr auto deferredAcceptTime = std::chrono::seconds(1);

/// The most bytes of events sent in one write, unless one event alone is larger. Each
/// stream holds its write's bytes until the peer takes them: thousands of slow readers of
/// a long run hold this much each.
inline constexpr std::size_t maxEventWrite = 65'536;

/// An event stream whose peer vanished without closing (a phone gone out of range) is
/// noticed after `keepaliveIdle` of silence and `keepaliveProbes` unanswered probes
/// `keepaliveProbeInterval` apart; a live peer sees no byte of it.
inline constexpr auto keepaliveIdle = std::chrono::seconds(60);
inline constexpr auto keepaliveProbeInterval = std::chrono::seconds(10);
inline constexpr int keepaliveProbes = 3;

/// A stream with ids that waits on a person's approval sends a comment line after this long
/// without an event, so that it does not look dead to NATs and proxies.
inline constexpr auto keepaliveCommentInterval = std::chrono::seconds(15);

} // namespace pavix
