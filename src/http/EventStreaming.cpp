#include "http/EventStreaming.h"

#include "http/HTTPWire.h"
#include "http/PeerWatch.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <charconv>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pavix {

namespace {

using tcp = asio::ip::tcp;
constexpr auto noThrow = asio::as_tuple(asio::use_awaitable);

// The digits of `number`, for an "id:" line.
std::string_view decimal(std::size_t number, char (&out)[24]) {
    return {out, static_cast<std::size_t>(std::to_chars(out, out + sizeof out, number).ptr - out)};
}

// The bytes of the frame of `event`.
std::size_t frameSize(const EventSource::Event& event, bool withIds) {
    char digits[24];
    std::size_t size = withIds ? 5 + decimal(event.number, digits).size() : 0; // "id: N\n"
    return size + 6 + event.size() + 2; // "data: ", the text, then the blank line
}

// The phone sends nothing after its request: the read ends only when it has gone (or the
// writer closed the socket), and then nobody needs the events.
asio::awaitable<void> cancelWhenGone(std::shared_ptr<tcp::socket> socket,
                                     std::shared_ptr<EventFrames> frames) {
    PeerWatch peer(std::move(socket));
    co_await peer.gone();
    frames->cancel();
}

// A peer that vanished without closing is noticed even on a stream that only waits for a
// person's approval. Event batches go out as they come: nothing gains from Nagle's delay.
void tuneForStreaming(tcp::socket& socket) {
    const int fd = socket.native_handle(), on = 1, probes = keepaliveProbes;
    const int idle = static_cast<int>(keepaliveIdle.count()),
              interval = static_cast<int>(keepaliveProbeInterval.count());
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE) // Linux
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#elif defined(TCP_KEEPALIVE) // macOS
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idle, sizeof idle);
#endif
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

} // namespace

EventFrames::EventFrames(std::shared_ptr<EventSource> source, bool withIds,
                         std::chrono::milliseconds keepalive)
    : source_(std::move(source))
    , withIds_(withIds)
    , keepalive_(keepalive) {}

asio::awaitable<std::string_view> EventFrames::next(std::size_t maxBytes) {
    // A large batch's buffer is not kept for the small ones of a live tail.
    if (frames_.capacity() > maxEventWrite) std::string().swap(frames_);
    frames_.clear();
    std::optional<std::chrono::milliseconds> idle;
    if (withIds_) idle = keepalive_;
    // Awaited apart from the switch: g++ 12 miscompiles a co_await in a switch's condition.
    const EventSource::Wait outcome = co_await source_->wait(idle);
    switch (outcome) {
    case EventSource::Wait::ready:
        render(maxBytes);
        break;
    case EventSource::Wait::idle:
        frames_ = ":\n"; // a comment line alone: no client makes an (empty) event of it
        break;
    case EventSource::Wait::ended:
        break;
    }
    co_return frames_;
}

void EventFrames::render(std::size_t maxBytes) {
    // Sized first, so that the buffer holds exactly what is sent and never grows past it.
    std::size_t count = 0, total = 0;
    source_->visit(maxBytes, [&](const EventSource::Event& event) {
        const std::size_t size = frameSize(event, withIds_);
        if (count > 0 && total + size > maxBytes) return false; // the next write takes it
        total += size;
        ++count;
        return true;
    });
    if (frames_.capacity() < total) { // frames_ is empty: grown exactly, not by doubling
        std::string exact;
        exact.reserve(total);
        frames_.swap(exact);
    }
    std::size_t left = count;
    source_->visit(maxBytes, [&](const EventSource::Event& event) {
        if (left == 0) return false;
        if (withIds_) {
            char digits[24];
            frames_.append("id: ").append(decimal(event.number, digits)).push_back('\n');
        }
        frames_.append("data: ").append(event.head).append(event.body).append(event.tail);
        frames_ += "\n\n";
        return --left > 0;
    });
    source_->advance(count);
}

std::size_t EventFrames::heldBytes() const {
    const std::size_t inside = std::string().capacity(); // short strings need no more
    return (frames_.capacity() > inside ? frames_.capacity() : 0) + source_->heldBytes();
}

asio::awaitable<void> streamEvents(std::shared_ptr<tcp::socket> socket,
                                   std::shared_ptr<EventSource> source, bool withIds,
                                   std::chrono::milliseconds keepalive) {
    auto frames = std::make_shared<EventFrames>(std::move(source), withIds, keepalive);
    tuneForStreaming(*socket);
    auto [headError, n] =
        co_await asio::async_write(*socket, asio::buffer(eventStreamHead), noThrow);
    if (!headError) {
        startCoroutine(socket->get_executor(), cancelWhenGone(socket, frames),
                       "event stream watch");
        // Events wait in the source while a write is under way, so a slow peer never holds
        // the run up, and each write takes a bounded part of what is waiting.
        for (;;) {
            std::string_view bytes = co_await frames->next(maxEventWrite);
            if (bytes.empty()) break;
            auto [error, written] =
                co_await asio::async_write(*socket, asio::buffer(bytes), noThrow);
            if (error) break;
        }
    }
    frames->cancel();
    boost::system::error_code ignored;
    socket->shutdown(tcp::socket::shutdown_send, ignored);
    socket->close(ignored);
}

} // namespace pavix
