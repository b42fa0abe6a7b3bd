#pragma once

#include "util/Async.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace pavix {

/// Numbered events as they come, until the end: what an event stream sends, told apart from
/// how the wire frames them.
class EventSource {
public:
    /// One event: its number and its JSON text, in pieces so that a source keeping events
    /// compactly (a text delta as its escaped text alone) need not assemble them.
    struct Event {
        std::size_t number;
        std::string_view head, body, tail;
        std::size_t size() const { return head.size() + body.size() + tail.size(); }
    };
    enum class Wait { ready, idle, ended };

    virtual ~EventSource() = default;
    /// Waits until an event is ready, `idle` has passed without one (never, without
    /// `idle`), or the source has ended or was cancelled.
    virtual asio::awaitable<Wait> wait(std::optional<std::chrono::milliseconds> idle) = 0;
    /// Hands the ready events in order to `each` until it returns false, about `wantedBytes`
    /// of them at most but at least one; the same ones again, until `advance` or `wait`.
    virtual void visit(std::size_t wantedBytes, const std::function<bool(const Event&)>& each) = 0;
    /// The first `count` of the ready events are used: the next `visit` starts after them.
    virtual void advance(std::size_t count) = 0;
    /// The peer has gone: a waiting `wait()` returns `ended` at once.
    virtual void cancel() = 0;
    /// The bytes the source holds for this reader beyond itself.
    virtual std::size_t heldBytes() const = 0;
};

} // namespace pavix
