// The HTTP server in-process, where its deadline can be short.
#include "BridgeServer.h"

#include "http/HTTPServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <thread>

using namespace pavix;
using namespace pavix::test;

namespace {

// Answers with the request's path, after 1.5 s for "/slow": longer than the deadline.
asio::awaitable<HTTPResponse> echo(HTTPRequest request) {
    if (request.path == "/slow") {
        asio::steady_timer timer(co_await asio::this_coro::executor, 1500ms);
        co_await timer.async_wait(asio::use_awaitable);
    }
    co_return HTTPResponse::json(200, {{"path", request.path}, {"body", request.body}});
}

/// The server with its loop on a thread of its own.
struct Served {
    explicit Served(std::chrono::steady_clock::duration deadline)
        : server(std::move(HTTPServer::create(loop.get_executor(), std::nullopt, 0, echo,
                                              HeadCheck(), {.requestDeadline = deadline})
                               .value())) {
        server->start([](const Error&) {}); // it logs, which a test may check
        thread = std::thread([this] { loop.run(); });
    }
    ~Served() {
        loop.stop();
        thread.join();
    }
    asio::io_context loop;
    std::unique_ptr<HTTPServer> server;
    std::thread thread;
};

std::string pathIn(const std::string& response) {
    json body = parseResponse(response).json();
    return body.is_object() ? body.value("path", "") : "";
}

} // namespace

// Silent and half-sent requests are closed unanswered once the deadline has passed, while
// the server keeps answering others. The deadline covers the reading only: a handler that
// takes longer than it is not cut short, even when its request came in pieces (the first
// of them has the reader wait, which starts the deadline).
TEST(HTTPServer, TheRequestDeadlineFreesIdleConnectionsOnly) {
    Served served(1s);
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<Connection>(served.server->port()));
    idle[0]->send("GET / HTTP/1.1\r\n");
    Connection slow(served.server->port());
    slow.send("GET /slow HTTP/1.1\r\n");
    std::this_thread::sleep_for(300ms);
    slow.send("\r\n");
    EXPECT_EQ(pathIn(slow.receiveAll()), "/slow") << "the deadline cut a slow handler";
    for (auto& connection : idle) {
        EXPECT_EQ(connection->receiveAll(5s), "");
        EXPECT_TRUE(connection->peerClosed());
    }
}
