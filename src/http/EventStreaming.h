#pragma once

#include "http/EventSource.h"

#include <boost/asio/ip/tcp.hpp>

#include <memory>

namespace pavix {

/// The most bytes of events sent in one write, unless one event alone is larger. Each
/// stream holds its write's bytes until the peer takes them: thousands of slow readers of
/// a long run hold this much each.
inline constexpr std::size_t maxEventWrite = 65'536;

/// Sends the event-stream head, then what `source` yields, until it ends, a write fails or
/// the peer goes away (its side of the connection ends); then closes the connection.
asio::awaitable<void> streamEvents(std::shared_ptr<asio::ip::tcp::socket> socket,
                                   std::shared_ptr<EventSource> source);

} // namespace pavix
