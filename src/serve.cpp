#include "serve.h"

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
    log("pavix-bridge on port " + std::to_string(config->port));
    // The listener keeps the loop busy once it exists; until then, nothing to run.
    auto guard = boost::asio::make_work_guard(loop);
    loop.run();
    return 0;
}

} // namespace pavix
