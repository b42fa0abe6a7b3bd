#pragma once

#include "bridge/Bridge.h"

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace pavix::test {

/// A request as the HTTP server hands it to the Bridge; with `key`, an Authorization
/// header "Bearer <key>".
HTTPRequest apiRequest(std::string method, std::string path,
                       std::optional<std::string> key = std::nullopt, std::string body = "",
                       bool loopback = true);

/// `bridge.handle(request)` run on `loop` until it answers (throws after a generous
/// guard time, or when the handler throws).
HTTPResponse respond(boost::asio::io_context& loop, Bridge& bridge, HTTPRequest request);

/// A JSON response's body, parsed.
nlohmann::json bodyOf(const HTTPResponse& response);

/// Runs ready work on `loop` without waiting for anything else.
void settle(boost::asio::io_context& loop);

} // namespace pavix::test
