#pragma once

#include "util/Async.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pavix {

/// One event's JSON text, shared by the run's log and every subscriber's queue.
using EventText = std::shared_ptr<const std::string>;

struct EventChannel;
struct EventProducer;

/// Producer side of one subscriber's unbounded event queue. Copies share the stream;
/// when the last copy is gone the stream ends as if finished. Loop-affine: use it only
/// on the executor the stream was made for.
class EventWriter {
public:
    EventWriter() = default;
    /// Queues `text` for the reader; false (and nothing queued) once the reader has gone.
    bool push(EventText text) const;
    /// Ends the stream: the reader gets what is queued, then the end.
    void finish() const;
    explicit operator bool() const { return producer_ != nullptr; }

private:
    friend std::pair<EventWriter, class EventReader> makeEventStream(asio::any_io_executor,
                                                                     std::function<void()>);
    explicit EventWriter(std::shared_ptr<EventProducer> producer)
        : producer_(std::move(producer)) {}
    std::shared_ptr<EventProducer> producer_;
};

/// Consumer side, for exactly one reader. Destroying it (or `abandon()`) ends the
/// subscription and runs the stream's end callback once.
class EventReader {
public:
    EventReader(EventReader&&) noexcept = default;
    EventReader& operator=(EventReader&& other) noexcept;
    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;
    ~EventReader();

    /// Waits until texts are queued and takes them, oldest first: as many as fit in
    /// `maxBytes` once framed as events (see eventBytes), but always at least one; the
    /// rest stay queued. An empty vector means the stream has ended (finished by the
    /// producer, or abandoned).
    asio::awaitable<std::vector<EventText>> next(std::size_t maxBytes = SIZE_MAX);
    /// Gives the stream up: a pending `next()` returns the end, the producer stops queueing.
    void abandon();

private:
    friend std::pair<EventWriter, EventReader> makeEventStream(asio::any_io_executor,
                                                               std::function<void()>);
    explicit EventReader(std::shared_ptr<EventChannel> channel)
        : channel_(std::move(channel)) {}
    std::shared_ptr<EventChannel> channel_;
};

/// A new stream; `onEnd` runs once when the reader abandons it or is destroyed.
std::pair<EventWriter, EventReader> makeEventStream(asio::any_io_executor executor,
                                                    std::function<void()> onEnd = {});

/// A stream that yields `texts` and then ends.
EventReader finishedEventStream(asio::any_io_executor executor, std::vector<EventText> texts);

} // namespace pavix
