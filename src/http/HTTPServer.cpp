#include "http/HTTPServer.h"

#include "http/Accept.h"
#include "http/EventStreaming.h"
#include "http/HTTPWire.h"
#include "http/PeerWatch.h"
#include "http/RequestReader.h"
#include "util/Descriptors.h"
#include "util/Log.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace pavix {

namespace {

using tcp = asio::ip::tcp;
using boost::system::error_code;
using Duration = std::chrono::steady_clock::duration;
constexpr auto noThrow = asio::as_tuple(asio::use_awaitable);

// What every connection of one listener shares; lives as long as any of them.
struct Service {
    Service(HTTPServer::Handler handler, HeadCheck check, ServerTimingsForTests timings)
        : handler(std::move(handler))
        , check(std::move(check))
        , timings(timings) {}
    HTTPServer::Handler handler;
    HeadCheck check;
    ServerTimingsForTests timings;
    ReadBudget budget;
};

void closeGracefully(tcp::socket& socket) {
    error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

asio::awaitable<void> expireAfter(Duration deadline) {
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    co_await timer.async_wait(noThrow);
}

// Throws away what a peer still sends after an answer given before its body was read,
// so that its kernel does not discard the answer on a reset from ours.
asio::awaitable<void> discardIncoming(std::shared_ptr<tcp::socket> socket,
                                      std::shared_ptr<ReadBudget> budget, std::size_t unread) {
    std::span<char> area = budget->readArea();
    for (std::size_t discarded = 0; discarded < unread;) {
        auto [error, received] =
            co_await socket->async_read_some(asio::buffer(area.data(), area.size()), noThrow);
        if (error) co_return;
        discarded += received;
    }
}

asio::awaitable<void> answerEarly(std::shared_ptr<tcp::socket> socket,
                                  std::shared_ptr<ReadBudget> budget, ReadOutcome read) {
    using namespace asio::experimental::awaitable_operators;
    std::string bytes = jsonResponseBytes(read.answer->status(), read.answer->body());
    auto [error, written] = co_await asio::async_write(*socket, asio::buffer(bytes), noThrow);
    if (!error && read.unread > 0) {
        error_code ignored;
        socket->shutdown(tcp::socket::shutdown_send, ignored);
        co_await (discardIncoming(socket, budget, read.unread) || expireAfter(lingerTime));
    }
    closeGracefully(*socket);
}

asio::awaitable<void> serveConnection(std::shared_ptr<tcp::socket> socket, Accepted peer,
                                      std::shared_ptr<Service> service) {
    std::shared_ptr<ReadBudget> budget(service, &service->budget);
    // At the deadline the socket is closed under the reader, which then ends with nothing.
    // A request that arrived whole needs no timer.
    asio::steady_timer deadline(socket->get_executor());
    auto armDeadline = [&deadline, socket, after = service->timings.requestDeadline] {
        deadline.expires_after(after);
        deadline.async_wait([socket](const error_code& error) {
            if (error) return;
            error_code ignored;
            socket->close(ignored);
        });
    };
    ReadOutcome read = co_await readRequest(socket, peer.loopback, std::move(peer.address), budget,
                                            {service, &service->check}, armDeadline);
    deadline.cancel();
    if (read.answer) {
        co_await answerEarly(socket, budget, std::move(read));
        co_return;
    }
    if (!read.request) {
        closeGracefully(*socket);
        co_return;
    }
    read.request->peer = std::make_shared<PeerWatch>(socket);
    HTTPResponse response = co_await service->handler(std::move(*read.request));
    if (response.eventSource()) {
        co_await streamEvents(socket, response.eventSource(), response.eventsWithIds(),
                              service->timings.keepaliveComment);
        co_return;
    }
    std::string bytes = response.status() == 204
                            ? emptyResponseBytes(response.status())
                            : jsonResponseBytes(response.status(), response.body());
    co_await asio::async_write(*socket, asio::buffer(bytes), noThrow);
    closeGracefully(*socket);
}

// Starts serving the connection `accepted`, a descriptor owned from here on.
void serveAccepted(tcp::acceptor& acceptor, tcp protocol, Accepted accepted,
                   std::shared_ptr<Service> service) {
    auto socket = std::make_shared<tcp::socket>(acceptor.get_executor());
    error_code error;
    socket->assign(protocol, accepted.fd, error);
    if (error) {
        ::close(accepted.fd);
        return;
    }
    startCoroutine(socket->get_executor(),
                   serveConnection(socket, std::move(accepted), std::move(service)), "connection");
}

// Errors after which the listening socket itself is unusable; others pass.
bool listenerBroken(const error_code& error) {
    return error == asio::error::bad_descriptor || error == asio::error::invalid_argument ||
           error == asio::error::not_socket || error == asio::error::operation_not_supported ||
           error == asio::error::fault || error == asio::error::operation_aborted;
}

error_code listenOn(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    const tcp protocol = endpoint.protocol();
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
    acceptor.bind(endpoint, error);
    if (error) return error;
    acceptor.listen(tcp::socket::max_listen_connections, error);
    if (error) return error;
    deferAcceptUntilData(acceptor.native_handle());
    acceptor.non_blocking(true, error); // accepting stops at an empty backlog, never blocks
    return error;
}

// The IPv6 socket failed for want of IPv6, not for a reason IPv4 would share.
bool ipv6Missing(const error_code& error) {
    return error == asio::error::address_family_not_supported ||
           error == std::errc::address_not_available || error == asio::error::no_protocol_option ||
           error == asio::error::operation_not_supported || error == asio::error::invalid_argument;
}

// Where a server told to listen on `address` listens: there, and on 127.0.0.1, where the
// approval tool asks from this computer (no network reaches it), unless that is covered
// already. Nothing for no address; a null endpoint when `address` is no IP address (a
// host name could stand for several addresses, or change).
std::vector<std::optional<tcp::endpoint>> endpointsOf(const std::optional<std::string>& address,
                                                      std::uint16_t port) {
    if (!address) return {};
    error_code error;
    const asio::ip::address ip = asio::ip::make_address(*address, error);
    if (error) return {std::nullopt};
    const asio::ip::address loopback = asio::ip::address_v4::loopback();
    if (ip.is_unspecified() || ip == loopback) return {tcp::endpoint(ip, port)};
    return {tcp::endpoint(ip, port), tcp::endpoint(loopback, port)};
}

} // namespace

struct HTTPServer::Listener {
    Listener(asio::any_io_executor executor, std::shared_ptr<Service> service)
        : acceptor(executor)
        , service(std::move(service)) {}
    tcp::acceptor acceptor;
    tcp protocol = tcp::v6(); ///< the listening socket's, which accepted ones share
    std::shared_ptr<Service> service;
    bool started = false;
    bool stopped = false;
    bool pauseLogged = false;
    bool announces = false; ///< logs "listening" (the first of a server's listeners)
};

ServerTimingsForTests ServerTimingsForTests::fromEnvironment() {
    ServerTimingsForTests timings;
    const char* text = std::getenv("PAVIX_TEST_KEEPALIVE_MS");
    const std::string_view value = text ? text : "";
    long long milliseconds = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), milliseconds);
    if (error == std::errc() && end == value.data() + value.size() && milliseconds >= 1 &&
        milliseconds <= timings.keepaliveComment.count())
        timings.keepaliveComment = std::chrono::milliseconds(milliseconds);
    return timings;
}

Result<std::unique_ptr<HTTPServer>> HTTPServer::create(asio::any_io_executor executor,
                                                       const std::optional<std::string>& address,
                                                       std::uint16_t port, Handler handler,
                                                       HeadCheck check,
                                                       ServerTimingsForTests timings) {
    auto service = std::make_shared<Service>(std::move(handler), std::move(check), timings);
    std::vector<std::shared_ptr<Listener>> listeners;
    error_code error;
    if (!address) {
        auto listener = std::make_shared<Listener>(executor, service);
        error = listenOn(listener->acceptor, tcp::endpoint(tcp::v6(), port));
        if (error && ipv6Missing(error)) {
            listener->acceptor = tcp::acceptor(executor);
            listener->protocol = tcp::v4();
            error = listenOn(listener->acceptor, tcp::endpoint(tcp::v4(), port));
        }
        if (error) return Error{error.message()};
        listeners.push_back(std::move(listener));
    }
    for (auto endpoint : endpointsOf(address, port)) {
        if (!endpoint) return Error{"listen address \"" + *address + "\" is not an IP address"};
        if (!listeners.empty()) // the port the first one got
            endpoint->port(listeners.front()->acceptor.local_endpoint(error).port());
        auto listener = std::make_shared<Listener>(executor, service);
        listener->protocol = endpoint->protocol();
        error = listenOn(listener->acceptor, *endpoint);
        if (error)
            return Error{"can't listen on " + endpoint->address().to_string() + " port " +
                         std::to_string(endpoint->port()) + ": " + error.message()};
        listeners.push_back(std::move(listener));
    }
    listeners.front()->announces = true;
    return std::unique_ptr<HTTPServer>(new HTTPServer(std::move(listeners)));
}

HTTPServer::HTTPServer(std::vector<std::shared_ptr<Listener>> listeners)
    : listeners_(std::move(listeners)) {}

HTTPServer::~HTTPServer() {
    for (const auto& listener : listeners_) {
        listener->stopped = true;
        error_code ignored;
        listener->acceptor.close(ignored);
    }
}

void HTTPServer::start(std::function<void(const Error&)> onFailure) {
    for (const auto& listener : listeners_) {
        if (listener->started) continue;
        listener->started = true;
        startCoroutine(listener->acceptor.get_executor(), acceptConnections(listener, onFailure),
                       "listener");
    }
}

std::uint16_t HTTPServer::port() const {
    error_code error;
    return listeners_.front()->acceptor.local_endpoint(error).port();
}

asio::awaitable<void> HTTPServer::acceptConnections(std::shared_ptr<Listener> listener,
                                                    std::function<void(const Error&)> onFailure) {
    if (listener->stopped) co_return;
    if (listener->announces) log("listening");
    tcp::acceptor& acceptor = listener->acceptor;
    asio::steady_timer pause(acceptor.get_executor());
    for (;;) {
        Accepted accepted = acceptConnection(acceptor.native_handle());
        if (accepted.fd >= 0) {
            serveAccepted(acceptor, listener->protocol, accepted, listener->service);
            continue;
        }
        error_code error(errno, boost::system::system_category());
        if (error == asio::error::interrupted || error == asio::error::connection_aborted ||
            error.value() == EPROTO)
            continue; // a connection that died in the backlog
        if (error == asio::error::would_block) {
            // Readiness is reported once per arrival: wait only once the backlog is empty.
            std::tie(error) = co_await acceptor.async_wait(tcp::acceptor::wait_read, noThrow);
            if (listener->stopped) co_return;
            if (!error) continue;
        }
        if (listenerBroken(error)) {
            log("listener failed: " + error.message());
            if (onFailure) onFailure(Error{error.message()});
            co_return;
        }
        // Out of descriptors or memory: wait a moment for things to ease instead of
        // spinning, then carry on.
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
