#include "HttpClient.h"
#include "RunProgram.h"

#include "http/HTTPServer.h"
#include "http/HTTPWire.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace pavix;
using namespace pavix::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

/// An in-process server on an ephemeral port, its loop on a thread of its own; the
/// test talks to it over loopback sockets and touches loop-side state via onLoop.
class RunningServer {
public:
    explicit RunningServer(
        HTTPServer::Handler handler,
        std::chrono::steady_clock::duration deadline = HTTPServer::defaultRequestDeadline) {
        auto created = HTTPServer::create(loop_.get_executor(), 0, std::move(handler), deadline);
        if (!created) throw std::runtime_error(created.error().description);
        server_ = std::move(*created);
        server_->start([this](const Error& error) { failure = error.description; });
        port = server_->port();
        thread_ = std::thread([this] { loop_.run(); });
    }
    ~RunningServer() {
        std::promise<void> stopped;
        asio::post(loop_, [&] {
            server_.reset();
            stopped.set_value();
        });
        stopped.get_future().get();
        guard_.reset();
        loop_.stop();
        thread_.join();
    }

    template <class F>
    auto onLoop(F work) {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        asio::post(loop_, [&task] { task(); });
        return result.get();
    }

    /// Waits (bounded) until `condition`, checked on the loop, holds.
    template <class F>
    bool eventually(F condition) {
        for (auto until = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(5ms))
            if (onLoop(condition)) return true;
        return false;
    }

    std::uint16_t port = 0;
    std::string failure; ///< what the listener failed with; loop-side

private:
    asio::io_context loop_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_ =
        asio::make_work_guard(loop_);
    std::unique_ptr<HTTPServer> server_;
    std::thread thread_;
};

asio::awaitable<void> sleepFor(std::chrono::milliseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

// Answers with what it was given, so the tests see the parsed request.
asio::awaitable<HTTPResponse> echo(HTTPRequest request) {
    if (request.path == "/missing") co_return HTTPResponse::json(404, {{"error", "not found"}});
    if (request.path == "/slow") co_await sleepFor(600ms);
    co_return HTTPResponse::json(200, {{"method", request.method},
                                       {"path", request.path},
                                       {"query", request.query},
                                       {"headers", request.headers},
                                       {"body", request.body},
                                       {"loopback", request.remoteIsLoopback}});
}

// The JSON body of a complete response, or null.
json bodyOf(const std::string& response) {
    auto head = response.find("\r\n\r\n");
    if (head == std::string::npos) return nullptr;
    return json::parse(response.substr(head + 4), nullptr, false);
}

std::string statusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

struct Received {
    std::string bytes;
    bool closed = false; ///< false when the server kept the connection open too long
};

// Everything the server sends until it closes the connection.
Received receiveUntilClosed(Connection& client) {
    std::string bytes = client.receiveAll(30s);
    return {bytes, client.peerClosed()};
}

EventText text(std::string value) {
    return std::make_shared<const std::string>(std::move(value));
}

} // namespace

TEST(HTTPServer, ServesRequestsArrivingInPieces) {
    RunningServer server(echo);
    Connection client(server.port);
    std::string head = "post /piece?x=1 HTTP/1.1\r\nContent-Length: 9\r\n\r\n";
    for (char byte : head) {
        ASSERT_TRUE(client.send(std::string_view(&byte, 1)));
        std::this_thread::sleep_for(1ms);
    }
    for (std::string_view part : {"abc", "def", "ghi"}) {
        std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(client.send(part));
    }
    auto response = receiveUntilClosed(client);
    ASSERT_TRUE(response.closed);
    EXPECT_EQ(statusLine(response.bytes), "HTTP/1.1 200 OK");
    auto body = bodyOf(response.bytes);
    EXPECT_EQ(body["method"], "POST");
    EXPECT_EQ(body["path"], "/piece");
    EXPECT_EQ(body["query"]["x"], "1");
    EXPECT_EQ(body["body"], "abcdefghi");
    EXPECT_EQ(body["loopback"], true);
}

TEST(HTTPServer, AnswersOnlyTheFirstOfPipelinedRequestsThenCloses) {
    RunningServer server(echo);
    Connection client(server.port);
    client.send("GET /missing HTTP/1.1\r\n\r\nGET /second HTTP/1.1\r\n\r\n");
    auto response = receiveUntilClosed(client);
    ASSERT_TRUE(response.closed);
    EXPECT_EQ(response.bytes, "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\n"
                              "Content-Length: 21\r\nConnection: close\r\n\r\n"
                              "{\"error\":\"not found\"}");
}

TEST(HTTPServer, SeesLoopbackPeersOverIPv4AndIPv6) {
    RunningServer server(echo);
    for (bool ipv6 : {false, true}) {
        Connection client(server.port, ipv6 ? Connection::Family::ipv6 : Connection::Family::ipv4);
        if (!client.connected()) {
            ASSERT_TRUE(ipv6) << "IPv4 loopback must work";
            GTEST_SKIP() << "no IPv6 loopback here";
        }
        client.send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(bodyOf(receiveUntilClosed(client).bytes)["loopback"], true) << ipv6;
    }
}

// Malformed requests, through the service: hostile_input_test.
TEST(HTTPServer, ClosesWithoutResponseOnEarlyEnd) {
    RunningServer server(echo);
    Connection halfClosed(server.port);
    halfClosed.send("GET / HTTP/1.1\r\nHost: x\r\n");
    halfClosed.shutdownWrite();
    auto first = receiveUntilClosed(halfClosed);
    EXPECT_TRUE(first.closed);
    EXPECT_EQ(first.bytes, "");

    // A complete request whose last bytes come with the end of sending is still served.
    Connection lastWords(server.port);
    lastWords.send("GET /last HTTP/1.1\r\n\r\n");
    lastWords.shutdownWrite();
    EXPECT_EQ(bodyOf(receiveUntilClosed(lastWords).bytes)["path"], "/last");
}

TEST(HTTPServer, RequestDeadlineCoversReadingOnly) {
    RunningServer server(echo, 300ms);
    Connection silent(server.port);
    Connection partial(server.port);
    partial.send("GET / HTTP/1.1\r\n");
    Connection slowHandler(server.port);
    slowHandler.send("GET /slow HTTP/1.1\r\n\r\n");

    for (Connection* client : {&silent, &partial}) {
        auto received = receiveUntilClosed(*client);
        EXPECT_TRUE(received.closed);
        EXPECT_EQ(received.bytes, "");
    }
    auto answered = receiveUntilClosed(slowHandler);
    EXPECT_EQ(bodyOf(answered.bytes)["path"], "/slow");
}

TEST(HTTPServer, ServesWhileAThousandIdleConnectionsWaitOutTheDeadline) {
    constexpr std::size_t idleCount = 1000;
    // Both ends of every connection are descriptors of this process.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const rlim_t needed = 2 * idleCount + 200;
    rlimit raised = saved;
    raised.rlim_cur = std::max(saved.rlim_cur, std::min(saved.rlim_max, needed));
    if (raised.rlim_cur < needed || ::setrlimit(RLIMIT_NOFILE, &raised) != 0)
        GTEST_SKIP() << "needs " << needed << " descriptors; the hard limit is " << saved.rlim_max;
    {
        RunningServer server(echo, 3s);
        std::vector<std::unique_ptr<Connection>> idle;
        for (std::size_t i = 0; i < idleCount; ++i) {
            idle.push_back(std::make_unique<Connection>(server.port));
            ASSERT_TRUE(idle.back()->connected()) << i;
            if (i % 100 == 0) { // answered in turn with the idle ones' arrival
                Connection client(server.port);
                client.send("GET /busy/" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
                EXPECT_EQ(bodyOf(receiveUntilClosed(client).bytes)["path"],
                          "/busy/" + std::to_string(i));
            }
        }
        for (auto& client : idle) {
            auto received = receiveUntilClosed(*client);
            EXPECT_TRUE(received.closed);
            EXPECT_EQ(received.bytes, "");
        }
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

namespace {

// A log larger than several writes: many small events around two large ones.
std::vector<EventText> largeLog() {
    std::vector<EventText> texts;
    for (int i = 0; i < 3000; ++i) {
        texts.push_back(text(std::to_string(i) + std::string(1000, 'e')));
        if (i % 1000 == 500) texts.push_back(text(std::string(maxEventWrite + 1, 'L')));
    }
    return texts;
}

} // namespace

TEST(HTTPServer, EventStreamBytes) {
    RunningServer server([](HTTPRequest request) -> asio::awaitable<HTTPResponse> {
        auto executor = co_await asio::this_coro::executor;
        if (request.path == "/now")
            co_return HTTPResponse::events(finishedEventStream(executor, {}));
        if (request.path == "/large")
            co_return HTTPResponse::events(finishedEventStream(executor, largeLog()));
        co_return HTTPResponse::events(
            finishedEventStream(executor, {text("{\"event\":\"a\"}"), text("two\nlines")}));
    });
    Connection empty(server.port);
    empty.send("GET /now HTTP/1.1\r\n\r\n");
    auto head = receiveUntilClosed(empty);
    EXPECT_TRUE(head.closed);
    EXPECT_EQ(head.bytes, eventStreamHead);

    Connection two(server.port);
    two.send("GET /two HTTP/1.1\r\n\r\n");
    EXPECT_EQ(receiveUntilClosed(two).bytes,
              std::string(eventStreamHead) + "data: {\"event\":\"a\"}\n\ndata: two\nlines\n\n");

    // A reader that falls behind a log of many writes still gets all of it, in order.
    Connection slow(server.port);
    slow.send("GET /large HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(300ms); // meanwhile the socket's buffers fill up
    std::string expected(eventStreamHead);
    for (const auto& event : largeLog())
        appendEvent(expected, *event);
    auto received = receiveUntilClosed(slow);
    EXPECT_TRUE(received.closed);
    EXPECT_TRUE(received.bytes == expected) << received.bytes.size() << " of " << expected.size();
}

namespace {

// A handler that opens a live stream per request and keeps its writer for the test.
// Its writers must go (on the loop) before the loop does: see `release`.
struct LiveStreams {
    std::vector<EventWriter> writers;
    int ended = 0;

    void release(RunningServer& server) {
        server.onLoop([this] { writers.clear(); });
    }

    HTTPServer::Handler handler() {
        return [this](HTTPRequest) -> asio::awaitable<HTTPResponse> {
            auto [writer, reader] =
                makeEventStream(co_await asio::this_coro::executor, [this] { ++ended; });
            writers.push_back(writer);
            co_return HTTPResponse::events(std::move(reader));
        };
    }
};

} // namespace

TEST(HTTPServer, PeerLeavingMidStreamAbandonsTheStream) {
    LiveStreams live;
    RunningServer server(live.handler());
    Connection client(server.port);
    client.send("GET /events HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(server.eventually([&] { return live.writers.size() == 1; }));
    server.onLoop([&] { return live.writers[0].push(text("first")); });
    EXPECT_EQ(client.receiveExactly(eventStreamHead.size() + 13, 30s),
              std::string(eventStreamHead) + "data: first\n\n");
    client.close();
    EXPECT_TRUE(server.eventually([&] { return live.ended == 1; }));
    EXPECT_FALSE(server.onLoop([&] { return live.writers[0].push(text("after")); }));
    live.release(server);
}

#ifdef __linux__
TEST(HTTPServer, ChildProcessesInheritNoSocket) {
    RunningServer server([](HTTPRequest) -> asio::awaitable<HTTPResponse> {
        // Spawned while both the listening and this request's socket are open.
        auto listing = runProgram("/bin/sh", {"-c", "ls -l /proc/self/fd"});
        co_return HTTPResponse::json(200, {{"fds", listing.out}});
    });
    Connection client(server.port);
    client.send("GET / HTTP/1.1\r\n\r\n");
    std::string fds = bodyOf(receiveUntilClosed(client).bytes)["fds"];
    EXPECT_THAT(fds, testing::HasSubstr("pipe:"));
    EXPECT_THAT(fds, testing::Not(testing::HasSubstr("socket:")));
}

TEST(HTTPServer, KeepsAcceptingAfterRunningOutOfDescriptors) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    // The sanitizers probe memory through a pipe of their own and misreport without one.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
#endif
    testing::internal::CaptureStderr();
    RunningServer server(echo);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    std::vector<int> hogs;
    Connection client(server.port, Connection::Family::ipv4, [&] {
        rlimit low = saved;
        low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::dup(0)) >= 0;)
            hogs.push_back(fd);
    });
    std::this_thread::sleep_for(300ms); // the server meets the exhausted table meanwhile
    for (int fd : hogs)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    client.send("GET /after HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(receiveUntilClosed(client).bytes)["path"], "/after");
    EXPECT_EQ(server.onLoop([&] { return server.failure; }), "");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_THAT(log, testing::HasSubstr("] accepting paused: "));
    EXPECT_THAT(log, testing::Not(testing::HasSubstr("listener failed")));
}

TEST(HTTPServer, BrokenListenerIsReported) {
    testing::internal::CaptureStderr();
    RunningServer server(echo);
    { // the listener is up and accepting
        Connection first(server.port);
        ASSERT_TRUE(first.connected());
    }
    // Shutting a listening socket down makes accept fail for good (EINVAL on Linux).
    for (int fd = 3; fd < 1024; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port) == server.port)
            ::shutdown(fd, SHUT_RD);
    }
    ASSERT_TRUE(server.eventually([&] { return !server.failure.empty(); }));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_THAT(log, testing::HasSubstr("] listening\n"));
    EXPECT_THAT(log, testing::HasSubstr("] listener failed: " + server.onLoop([&] {
                    return server.failure;
                }) + "\n"));
}
#endif
