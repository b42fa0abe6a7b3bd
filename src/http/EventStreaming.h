#pragma once

#include "http/Limits.h"
#include "util/EventSource.h"

#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>

namespace pavix {

/// A source's events as the wire frames them: an "id: <number>" line when asked for, then
/// "data: " and the event's text, then a blank line. With ids, a comment line ":" after
/// `keepalive` without an event.
class EventFrames {
public:
    EventFrames(std::shared_ptr<EventSource> source, bool withIds,
                std::chrono::milliseconds keepalive = keepaliveCommentInterval);

    /// Waits until there is something to send and returns it: the frames of the next
    /// events, as many whole ones as fit in `maxBytes` but at least one, or a comment line.
    /// Empty once the source has ended. The bytes stay valid until the next call, in a
    /// buffer of exactly their size; one larger than `maxEventWrite` is let go at the next
    /// call.
    asio::awaitable<std::string_view> next(std::size_t maxBytes);
    /// Ends the stream: a waiting `next()` returns empty at once.
    void cancel() { source_->cancel(); }
    /// The bytes the frames and the source hold beyond themselves.
    std::size_t heldBytes() const;

private:
    void render(std::size_t maxBytes);

    std::shared_ptr<EventSource> source_;
    bool withIds_;
    std::chrono::milliseconds keepalive_;
    std::string frames_;
};

/// Sends the event-stream head, then `source`'s events framed (with ids and `keepalive`
/// comments when `withIds`), until it ends, a write fails or the peer goes away (its side
/// of the connection ends); then closes the connection.
asio::awaitable<void> streamEvents(std::shared_ptr<asio::ip::tcp::socket> socket,
                                   std::shared_ptr<EventSource> source, bool withIds,
                                   std::chrono::milliseconds keepalive);

} // namespace pavix
