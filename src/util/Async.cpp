#include "util/Async.h"

#include "util/Log.h"

#include <boost/asio/co_spawn.hpp>

#include <exception>

namespace pavix {

void startCoroutine(asio::any_io_executor executor, asio::awaitable<void> work, std::string what) {
    asio::co_spawn(executor, std::move(work), [what = std::move(what)](std::exception_ptr error) {
        if (!error) return;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            log(what + " failed: " + e.what());
        } catch (...) {
            log(what + " failed");
        }
    });
}

} // namespace pavix
