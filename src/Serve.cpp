#include "Serve.h"

#include "bridge/Bridge.h"
#include "config/BridgeConfig.h"
#include "http/HTTPServer.h"
#include "util/Descriptors.h"
#include "util/Log.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <string>

namespace pavix {

namespace {

// Both live until serve() returns, after the loop has stopped.
asio::awaitable<void> shutDownThenLoop(Bridge& bridge, asio::io_context& loop) {
    co_await bridge.shutDown();
    loop.stop();
}

} // namespace

int serve() {
    raiseDescriptorLimit();
    auto config = BridgeConfig::loadOrCreate();
    if (!config) {
        log("couldn't start: " + config.error().description);
        return 1;
    }
    // One thread runs it (before everything that lives on it): Asio can skip waking others.
    asio::io_context loop(1);
    Bridge bridge(loop.get_executor(), *config);
    // Every request's one way into the service.
    auto handler = [&bridge](HTTPRequest request) { return bridge.handle(std::move(request)); };
    auto checkHead = [&bridge](const HTTPRequest& head) { return bridge.checkHead(head); };
    auto server = HTTPServer::create(loop.get_executor(), config->listen, config->port, handler,
                                     checkHead, ServerTimingsForTests::fromEnvironment());
    if (!server) {
        log("couldn't start: " + server.error().description);
        return 1;
    }
    int status = 0;
    (*server)->start([&](const Error&) {
        status = 1;
        loop.stop();
    });
    // The service manager ends us with SIGTERM, a terminal with SIGINT: stop the runs
    // first, so that no Claude Code outlives the service. A second signal ends at once.
    asio::signal_set stopSignals(loop, SIGTERM, SIGINT);
    stopSignals.async_wait([&](const boost::system::error_code& error, int number) {
        if (error) return;
        log(number == SIGTERM ? "stopping (SIGTERM)" : "stopping (SIGINT)");
        stopSignals.async_wait([&](const boost::system::error_code& again, int) {
            if (!again) loop.stop();
        });
        startCoroutine(loop.get_executor(), shutDownThenLoop(bridge, loop), "stopping");
    });
    log("pavix-bridge on " + (config->listen ? *config->listen + " " : std::string()) + "port " +
        std::to_string(config->port));
    // Only a listener failure or a stop signal ends the loop; the guard keeps it running.
    auto guard = asio::make_work_guard(loop);
    loop.run();
    return status;
}

} // namespace pavix
