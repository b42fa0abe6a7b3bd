#pragma once

#include "util/Async.h"

#include <boost/asio/ip/tcp.hpp>

#include <memory>

namespace pavix {

/// A request's connection, as its handler may watch it while the answer is being made.
/// Nothing is read from it unless a handler asks: other requests are answered whatever the
/// peer does after sending them, even if it has closed its sending side. Loop-affine.
class PeerWatch {
public:
    explicit PeerWatch(std::shared_ptr<asio::ip::tcp::socket> socket)
        : socket_(std::move(socket)) {}

    /// Completes once the peer has gone: its side of the connection has ended (a
    /// half-close counts) or failed. What it sends meanwhile is read and dropped. Cancel it
    /// (say, with awaitable operators) to stop watching.
    asio::awaitable<void> gone();

private:
    std::shared_ptr<asio::ip::tcp::socket> socket_;
};

} // namespace pavix
