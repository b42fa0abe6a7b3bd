#include "http/HTTPServer.h"

#include "Log.h"
#include "http/EventStreaming.h"
#include "http/HTTPWire.h"
#include "util/Descriptors.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <optional>
#include <string>
#include <tuple>

namespace pavix {

namespace {

using tcp = asio::ip::tcp;
using boost::system::error_code;
using Duration = std::chrono::steady_clock::duration;
constexpr auto noThrow = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view headEnd = "\r\n\r\n";

void closeGracefully(tcp::socket& socket) {
    error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

bool peerIsLoopback(const tcp::socket& socket) {
    error_code error;
    auto peer = socket.remote_endpoint(error);
    return !error && isLoopbackAddress(peer.address().to_string());
}

// Nothing is read before the peer sends, so an idle connection holds no read buffer.
asio::awaitable<std::optional<HTTPRequest>> readRequest(std::shared_ptr<tcp::socket> socket) {
    const bool loopback = peerIsLoopback(*socket);
    error_code ignored;
    socket->non_blocking(true, ignored);
    std::string buffer;
    std::size_t searchFrom = 0; // the head's end cannot begin before this
    bool headSeen = false;
    std::size_t parseAgainAt = 0;
    bool drained = true;
    for (;;) {
        // Readiness is reported once per arrival, so wait only when nothing is left unread.
        error_code waitError;
        if (drained)
            std::tie(waitError) = co_await socket->async_wait(tcp::socket::wait_read, noThrow);
        error_code error;
        if (!waitError) {
            const std::size_t size = buffer.size();
            buffer.resize(size + readChunkSize);
            std::size_t received =
                socket->read_some(asio::buffer(buffer.data() + size, readChunkSize), error);
            buffer.resize(size + received);
            drained = received < readChunkSize;
            if (error == asio::error::would_block) continue;
        }
        const bool ended = waitError || error;
        ParsedRequest parsed;
        // Parsing only once the head's end is there, and then only once enough of the
        // body has come, keeps a slowly sent request linear however large its head.
        if (!headSeen) headSeen = buffer.find(headEnd, searchFrom) != std::string::npos;
        if (headSeen && buffer.size() >= parseAgainAt) {
            parsed = parseRequest(buffer, loopback);
            parseAgainAt = parsed.parseAgainAt;
        }
        searchFrom = buffer.size() < headEnd.size() ? 0 : buffer.size() - (headEnd.size() - 1);
        switch (afterRead(parsed.state, buffer.size(), ended)) {
        case AfterRead::respond:
            co_return std::move(parsed.request);
        case AfterRead::close:
            co_return std::nullopt;
        case AfterRead::readMore:
            break;
        }
    }
}

asio::awaitable<void> expireAfter(Duration deadline) {
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    co_await timer.async_wait(noThrow);
}

asio::awaitable<void> serveConnection(tcp::socket accepted,
                                      std::shared_ptr<const HTTPServer::Handler> handler,
                                      Duration deadline) {
    using namespace asio::experimental::awaitable_operators;
    auto socket = std::make_shared<tcp::socket>(std::move(accepted));
    auto outcome = co_await (readRequest(socket) || expireAfter(deadline));
    if (outcome.index() != 0 || !std::get<0>(outcome)) {
        closeGracefully(*socket);
        co_return;
    }
    HTTPResponse response = co_await (*handler)(std::move(*std::get<0>(outcome)));
    if (response.eventSource()) {
        co_await streamEvents(socket, response.eventSource());
        co_return;
    }
    std::string bytes = response.status() == 204
                            ? emptyResponseBytes(response.status())
                            : jsonResponseBytes(response.status(), response.body());
    co_await asio::async_write(*socket, asio::buffer(bytes), noThrow);
    closeGracefully(*socket);
}

// Errors after which the listening socket itself is unusable; others pass.
bool listenerBroken(const error_code& error) {
    return error == asio::error::bad_descriptor || error == asio::error::invalid_argument ||
           error == asio::error::not_socket || error == asio::error::operation_not_supported ||
           error == asio::error::fault || error == asio::error::operation_aborted;
}

error_code listenOn(tcp::acceptor& acceptor, tcp protocol, std::uint16_t port) {
    error_code error;
    acceptor.open(protocol, error);
    if (error) return error;
    setCloseOnExec(acceptor.native_handle());
    if (protocol == tcp::v6()) {
        acceptor.set_option(asio::ip::v6_only(false), error);
        if (error) return error;
    }
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (error) return error;
    acceptor.bind(tcp::endpoint(protocol, port), error);
    if (error) return error;
    acceptor.listen(tcp::socket::max_listen_connections, error);
    return error;
}

// The IPv6 socket failed for want of IPv6, not for a reason IPv4 would share.
bool ipv6Missing(const error_code& error) {
    return error == asio::error::address_family_not_supported ||
           error == std::errc::address_not_available || error == asio::error::no_protocol_option ||
           error == asio::error::operation_not_supported || error == asio::error::invalid_argument;
}

} // namespace

AfterRead afterRead(ParsedRequest::State state, std::size_t bufferSize, bool readEnded) {
    if (state == ParsedRequest::State::complete) return AfterRead::respond;
    if (state == ParsedRequest::State::malformed || readEnded || bufferSize > maxRequestBuffer)
        return AfterRead::close;
    return AfterRead::readMore;
}

struct HTTPServer::Listener {
    Listener(asio::any_io_executor executor, Handler handler, Duration deadline)
        : acceptor(executor)
        , handler(std::make_shared<const Handler>(std::move(handler)))
        , deadline(deadline) {}
    tcp::acceptor acceptor;
    std::shared_ptr<const Handler> handler;
    Duration deadline;
    bool started = false;
    bool stopped = false;
    bool pauseLogged = false;
};

Result<std::unique_ptr<HTTPServer>> HTTPServer::create(asio::any_io_executor executor,
                                                       std::uint16_t port, Handler handler,
                                                       Duration requestDeadline) {
    auto listener = std::make_shared<Listener>(executor, std::move(handler), requestDeadline);
    error_code error = listenOn(listener->acceptor, tcp::v6(), port);
    if (error && ipv6Missing(error)) {
        listener->acceptor = tcp::acceptor(executor);
        error = listenOn(listener->acceptor, tcp::v4(), port);
    }
    if (error) return Error{error.message()};
    return std::unique_ptr<HTTPServer>(new HTTPServer(std::move(listener)));
}

HTTPServer::HTTPServer(std::shared_ptr<Listener> listener)
    : listener_(std::move(listener)) {}

HTTPServer::~HTTPServer() {
    listener_->stopped = true;
    error_code ignored;
    listener_->acceptor.close(ignored);
}

void HTTPServer::start(std::function<void(const Error&)> onFailure) {
    if (listener_->started) return;
    listener_->started = true;
    spawn(listener_->acceptor.get_executor(), acceptConnections(listener_, std::move(onFailure)),
          "listener");
}

std::uint16_t HTTPServer::port() const {
    error_code error;
    return listener_->acceptor.local_endpoint(error).port();
}

asio::awaitable<void> HTTPServer::acceptConnections(std::shared_ptr<Listener> listener,
                                                    std::function<void(const Error&)> onFailure) {
    if (listener->stopped) co_return;
    log("listening");
    asio::steady_timer pause(listener->acceptor.get_executor());
    for (;;) {
        auto [error, socket] = co_await listener->acceptor.async_accept(noThrow);
        if (listener->stopped) co_return;
        if (!error) {
            setCloseOnExec(socket.native_handle());
            // Responses and event batches go out whole: nothing gains from Nagle's delay.
            error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            auto executor = socket.get_executor();
            spawn(executor,
                  serveConnection(std::move(socket), listener->handler, listener->deadline),
                  "connection");
            continue;
        }
        if (listenerBroken(error)) {
            log("listener failed: " + error.message());
            if (onFailure) onFailure(Error{error.message()});
            co_return;
        }
        // Out of descriptors or memory, or a connection that died in the backlog: wait
        // a moment for things to ease instead of spinning, then carry on.
        if (!listener->pauseLogged) {
            listener->pauseLogged = true;
            log("accepting paused: " + error.message());
        }
        pause.expires_after(std::chrono::milliseconds(100));
        co_await pause.async_wait(noThrow);
        if (listener->stopped) co_return;
    }
}

} // namespace pavix
