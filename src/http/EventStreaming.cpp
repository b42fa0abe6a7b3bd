#include "http/EventStreaming.h"

#include "http/HTTPWire.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

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

} // namespace

asio::awaitable<void> streamEvents(std::shared_ptr<tcp::socket> socket,
                                   std::shared_ptr<EventSource> source) {
    auto [headError, n] =
        co_await asio::async_write(*socket, asio::buffer(eventStreamHead), noThrow);
    if (!headError) {
        spawn(socket->get_executor(), watchPeer(socket, source), "event stream watch");
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
