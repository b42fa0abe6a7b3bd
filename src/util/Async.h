#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <string>

namespace pavix {

namespace asio = boost::asio;

/// Starts `work` on `executor`; an exception that escapes it is logged as
/// "<what> failed: <reason>" instead of vanishing or ending the process.
void startCoroutine(asio::any_io_executor executor, asio::awaitable<void> work, std::string what);

} // namespace pavix
