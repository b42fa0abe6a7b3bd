#include "Loop.h"

#include <thread>

namespace pavix::test {

bool runUntil(boost::asio::io_context& loop, const std::function<bool()>& done,
              std::chrono::steady_clock::duration guard) {
    auto deadline = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (loop.stopped()) loop.restart();
        if (loop.run_one_for(std::chrono::milliseconds(20)) == 0 && loop.stopped())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void runFor(boost::asio::io_context& loop, std::chrono::steady_clock::duration duration) {
    if (loop.stopped()) loop.restart();
    loop.run_for(duration);
}

} // namespace pavix::test
