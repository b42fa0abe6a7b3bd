#pragma once

#include "util/Async.h"

#include <cstddef>
#include <string_view>

namespace pavix {

/// What an event-stream response sends: ready-made bytes, as they come, until the end.
class EventSource {
public:
    virtual ~EventSource() = default;
    /// Waits for the next bytes to send, at most about `maxBytes`; empty once the stream
    /// has ended. The bytes stay valid until the next call.
    virtual asio::awaitable<std::string_view> next(std::size_t maxBytes) = 0;
    /// The peer has gone: a waiting `next()` returns empty at once.
    virtual void cancel() = 0;
};

} // namespace pavix
