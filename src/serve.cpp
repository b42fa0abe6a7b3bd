#include "serve.h"

#include "bridge/Bridge.h"
#include "config/BridgeConfig.h"
#include "log.h"

#include <boost/asio/io_context.hpp>

#include <string>

namespace pavix {

int serve() {
    auto config = BridgeConfig::loadOrCreate();
    if (!config) {
        log("couldn't start: " + config.error().description);
        return 1;
    }
    boost::asio::io_context loop;
    Bridge bridge(loop.get_executor(), *config);
    // The HTTP server's handler answers each request with co_await bridge.handle(request).
    log("pavix-bridge on port " + std::to_string(config->port));
    // The listener keeps the loop busy once it exists; until then, nothing to run.
    auto guard = boost::asio::make_work_guard(loop);
    loop.run();
    return 0;
}

} // namespace pavix
