// The HTTP server in-process, where its deadline can be short and the descriptor table can
// be emptied under it.
#include "BridgeServer.h"

#include "http/HTTPServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace pavix;
using namespace pavix::test;

namespace {

// Answers with the request's path, after 0.6 s for "/slow".
asio::awaitable<HTTPResponse> echo(HTTPRequest request) {
    if (request.path == "/slow") {
        asio::steady_timer timer(co_await asio::this_coro::executor, 600ms);
        co_await timer.async_wait(asio::use_awaitable);
    }
    co_return HTTPResponse::json(200, {{"path", request.path}, {"body", request.body}});
}

/// The server with its loop on a thread of its own.
struct Served {
    explicit Served(std::chrono::steady_clock::duration deadline)
        : server(std::move(HTTPServer::create(loop.get_executor(), 0, echo, deadline).value())) {
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
    return parseResponse(response).json().value("path", "");
}

} // namespace

// Silent and half-sent requests are closed unanswered once the deadline has passed, while
// the server keeps answering others; a slow handler is not cut short.
TEST(HTTPServer, TheRequestDeadlineFreesIdleConnectionsOnly) {
    Served served(1s);
    std::vector<std::unique_ptr<Connection>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(std::make_unique<Connection>(served.server->port()));
    idle[0]->send("GET / HTTP/1.1\r\n");
    Connection slow(served.server->port()), pieces(served.server->port());
    slow.send("GET /slow HTTP/1.1\r\n\r\n");
    for (std::string_view piece :
         {"POST /pie", "ces HTTP/1.1\r\nContent-Le", "ngth: 3\r\n\r\n", "abc"}) {
        pieces.send(piece);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(parseResponse(pieces.receiveAll()).json(),
              (json{{"path", "/pieces"}, {"body", "abc"}}));
    EXPECT_EQ(pathIn(slow.receiveAll()), "/slow");
    for (auto& connection : idle) {
        EXPECT_EQ(connection->receiveAll(5s), "");
        EXPECT_TRUE(connection->peerClosed());
    }
}

// Running out of descriptors pauses accepting; it must neither end the listener nor the
// process.
TEST(HTTPServer, KeepsAcceptingAfterRunningOutOfDescriptors) {
    if (sanitized) GTEST_SKIP() << "the sanitizers need descriptors of their own";
    // The log goes to a file read through a descriptor opened now, while there are some.
    TempFolder folder;
    int log = ::open((folder.path() / "log").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    int standardError = ::dup(STDERR_FILENO);
    ::dup2(log, STDERR_FILENO);
    auto logged = [&] {
        std::string text(65536, '\0');
        text.resize(static_cast<std::size_t>(
            std::max<ssize_t>(0, ::pread(log, text.data(), text.size(), 0))));
        return text;
    };
    Served served(60s);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
    ::setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> hogs;
    for (int fd; (fd = ::dup(log)) >= 0;)
        hogs.push_back(fd);
    ::close(hogs.back()); // room for the client's own socket only
    hogs.pop_back();
    Connection client(served.server->port());
    bool paused =
        eventually([&] { return logged().find("] accepting paused: ") != std::string::npos; });
    for (int fd : hogs)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    client.send("GET /after HTTP/1.1\r\n\r\n");
    EXPECT_EQ(pathIn(client.receiveAll()), "/after");
    ::dup2(standardError, STDERR_FILENO);
    EXPECT_TRUE(paused) << logged();
    EXPECT_THAT(logged(), testing::Not(testing::HasSubstr("listener failed")));
    ::close(standardError);
    ::close(log);
}
