#include "http/EventStreaming.h"

#include "http/HTTPWire.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pavix {

namespace {

using tcp = asio::ip::tcp;
constexpr auto noThrow = asio::as_tuple(asio::use_awaitable);

// The phone sends nothing after its request: the read ends only when it has gone (or the
// writer closed the socket), and then nobody needs the events.
asio::awaitable<void> watchPeer(std::shared_ptr<tcp::socket> socket,
                                std::shared_ptr<EventSource> source) {
    char sink[512];
    for (;;) {
        auto [error, n] = co_await socket->async_read_some(asio::buffer(sink), noThrow);
        if (error) break;
    }
    source->cancel();
}

// A peer that vanished without closing (a phone gone out of range) is noticed after a
// minute of silence and a few unanswered probes, even on a stream that only waits for a
// person's approval; a live peer sees no byte of it. Event batches go out as they come:
// nothing gains from Nagle's delay.
void tuneForStreaming(tcp::socket& socket) {
    const int fd = socket.native_handle(), on = 1, idle = 60, interval = 10, probes = 3;
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

asio::awaitable<void> streamEvents(std::shared_ptr<tcp::socket> socket,
                                   std::shared_ptr<EventSource> source) {
    tuneForStreaming(*socket);
    auto [headError, n] =
        co_await asio::async_write(*socket, asio::buffer(eventStreamHead), noThrow);
    if (!headError) {
        startCoroutine(socket->get_executor(), watchPeer(socket, source), "event stream watch");
        // Events wait in the source while a write is under way, so a slow peer never holds
        // the run up, and each write takes a bounded part of what is waiting.
        for (;;) {
            std::string_view bytes = co_await source->next(maxEventWrite);
            if (bytes.empty()) break;
            auto [error, written] =
                co_await asio::async_write(*socket, asio::buffer(bytes), noThrow);
            if (error) break;
        }
    }
    source->cancel();
    boost::system::error_code ignored;
    socket->shutdown(tcp::socket::shutdown_send, ignored);
    socket->close(ignored);
}

} // namespace pavix
