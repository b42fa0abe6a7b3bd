#include "http/PeerWatch.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace pavix {

asio::awaitable<void> PeerWatch::gone() {
    auto socket = socket_;
    char sink[512];
    for (;;) {
        auto [error, n] = co_await socket->async_read_some(asio::buffer(sink),
                                                           asio::as_tuple(asio::use_awaitable));
        if (error) co_return;
    }
}

} // namespace pavix
