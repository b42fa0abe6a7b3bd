#include "serve.h"

#include "bridge/Bridge.h"
#include "config/BridgeConfig.h"
#include "http/HTTPServer.h"
#include "log.h"
#include "util/descriptors.h"

#include <boost/asio/io_context.hpp>

#include <string>

namespace pavix {

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
    auto server = HTTPServer::create(loop.get_executor(), config->port, handler);
    if (!server) {
        log("couldn't start: " + server.error().description);
        return 1;
    }
    int status = 0;
    (*server)->start([&](const Error&) {
        status = 1;
        loop.stop();
    });
    log("pavix-bridge on port " + std::to_string(config->port));
    // Only a listener failure stops the loop; the guard keeps it running in between.
    auto guard = asio::make_work_guard(loop);
    loop.run();
    return status;
}

} // namespace pavix
