#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>

namespace pavix::test {

/// Runs `loop` until `done` holds or `guard` has passed (a failure guard, never a
/// measurement). Returns whether `done` held.
bool runUntil(boost::asio::io_context& loop, const std::function<bool()>& done,
              std::chrono::steady_clock::duration guard = std::chrono::seconds(60));

/// Runs `loop` for `duration`, or less when it runs out of work.
void runFor(boost::asio::io_context& loop, std::chrono::steady_clock::duration duration);

} // namespace pavix::test
