#include "http/EventStream.h"

#include "http/HTTPWire.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <deque>

namespace pavix {

// The queue plus a timer used as a condition variable: `wake` cancels the wait.
struct EventChannel {
    explicit EventChannel(asio::any_io_executor executor)
        : signal(executor) {}
    asio::steady_timer signal;
    std::deque<EventText> queue;
    bool finished = false;
    bool abandoned = false;
    std::function<void()> onEnd;

    void wake() { signal.cancel(); }
};

// Shared by every copy of a writer: a stream nobody can write to any more is over, and
// a reader left waiting on it would hold its connection open for good.
struct EventProducer {
    explicit EventProducer(std::shared_ptr<EventChannel> channel)
        : channel(std::move(channel)) {}
    ~EventProducer() { finish(); }
    EventProducer(const EventProducer&) = delete;
    EventProducer& operator=(const EventProducer&) = delete;

    void finish() {
        if (channel->finished) return;
        channel->finished = true;
        channel->wake();
    }
    std::shared_ptr<EventChannel> channel;
};

bool EventWriter::push(EventText text) const {
    if (!producer_) return false;
    EventChannel& channel = *producer_->channel;
    if (channel.abandoned || channel.finished) return false;
    channel.queue.push_back(std::move(text));
    channel.wake();
    return true;
}

void EventWriter::finish() const {
    if (producer_) producer_->finish();
}

EventReader& EventReader::operator=(EventReader&& other) noexcept {
    if (this != &other) {
        abandon();
        channel_ = std::move(other.channel_);
    }
    return *this;
}

EventReader::~EventReader() {
    abandon();
}

void EventReader::abandon() {
    if (!channel_ || channel_->abandoned) return;
    channel_->abandoned = true;
    channel_->queue.clear();
    channel_->wake();
    if (auto onEnd = std::move(channel_->onEnd)) onEnd();
}

asio::awaitable<std::vector<EventText>> EventReader::next(std::size_t maxBytes) {
    auto channel = channel_; // keeps the state alive across the wait
    while (channel && channel->queue.empty() && !channel->finished && !channel->abandoned) {
        channel->signal.expires_at(asio::steady_timer::time_point::max());
        co_await channel->signal.async_wait(asio::as_tuple(asio::use_awaitable));
    }
    std::vector<EventText> texts;
    if (!channel || channel->abandoned) co_return texts;
    auto& queue = channel->queue;
    auto taken = queue.begin();
    for (std::size_t bytes = 0; taken != queue.end(); ++taken) {
        std::size_t size = (*taken)->size() + eventFraming;
        if (taken != queue.begin() && size > maxBytes - bytes) break;
        bytes += std::min(size, maxBytes - bytes);
    }
    texts.assign(std::make_move_iterator(queue.begin()), std::make_move_iterator(taken));
    queue.erase(queue.begin(), taken);
    co_return texts;
}

std::pair<EventWriter, EventReader> makeEventStream(asio::any_io_executor executor,
                                                    std::function<void()> onEnd) {
    auto channel = std::make_shared<EventChannel>(executor);
    channel->onEnd = std::move(onEnd);
    return {EventWriter(std::make_shared<EventProducer>(channel)), EventReader(channel)};
}

EventReader finishedEventStream(asio::any_io_executor executor, std::vector<EventText> texts) {
    auto [writer, reader] = makeEventStream(executor);
    for (auto& text : texts)
        writer.push(std::move(text));
    writer.finish();
    return std::move(reader);
}

} // namespace pavix
