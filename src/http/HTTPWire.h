#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pavix {

/// The status line's reason phrase: the usual one for the statuses the API uses,
/// "Error" for every other status.
std::string_view reasonPhrase(std::int64_t status);

/// A whole JSON response: status line, Content-Type, Content-Length and
/// "Connection: close" headers, blank line, then `body` as is.
std::string jsonResponseBytes(std::int64_t status, std::string_view body);

/// A response without a body (204): status line and "Connection: close".
std::string emptyResponseBytes(std::int64_t status);

/// The interim response that asks a client waiting on "Expect: 100-continue" for its body.
inline constexpr std::string_view continueBytes = "HTTP/1.1 100 Continue\r\n\r\n";

/// The head of a server-sent event stream (status 200, no length: the close ends it).
inline constexpr std::string_view eventStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";

} // namespace pavix
