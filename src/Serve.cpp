#include "Serve.h"

#include "Log.h"
#include "bridge/Bridge.h"
#include "config/BridgeConfig.h"
#include "http/HTTPServer.h"
#include "util/Descriptors.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <csignal>
#include <string>

namespace pavix {

namespace {

// Both live until serve() returns, after the loop has stopped.
asio::awaitable<void> stopRunsThenLoop(Bridge& bridge, asio::io_context& loop) {
    co_await bridge.stopRuns();
    // A stopped run's reply is stored one turn after its end: let that happen, then let
    // every pending save land before the process ends.
    co_await asio::post(loop, asio::use_awaitable);
    co_await bridge.sessions().saved();
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
    asio::io_context loop; // before everything that lives on it
    Bridge bridge(loop.get_executor(), *config);
    // Every request's one way into the service.
    auto handler = [&bridge](HTTPRequest request) { return bridge.handle(std::move(request)); };
    auto checkHead = [&bridge](const HTTPRequest& head) { return bridge.checkHead(head); };
    auto server = HTTPServer::create(loop.get_executor(), config->port, handler, checkHead);
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
        spawn(loop.get_executor(), stopRunsThenLoop(bridge, loop), "stopping");
    });
    log("pavix-bridge on port " + std::to_string(config->port));
    // Only a listener failure or a stop signal ends the loop; the guard keeps it running.
    auto guard = asio::make_work_guard(loop);
    loop.run();
    return status;
}

} // namespace pavix
