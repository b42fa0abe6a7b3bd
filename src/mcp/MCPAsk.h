#pragma once

#include "util/ApprovalChoice.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pavix::MCPApprove {

namespace asio = boost::asio;

/// The port `text` names: 1 to 5 ASCII digits, no higher than 65535.
std::optional<std::uint16_t> portNumber(std::string_view text);

/// POSTs `body` to "/internal/approve" on 127.0.0.1 at `port` with `key` as the bearer key,
/// and completes with the choice the answer's text "choice" names, or with deny when there
/// is none: a port text that names no port, an unreachable service, no answer within 660
/// seconds, an answer over 1 MiB, not a JSON object with a text "choice", or a text that is
/// no choice word. The HTTP status is not looked at. A cancellation emitted on `cancel`
/// closes the connection at once (completing with deny); the signal must outlive the call.
asio::awaitable<ApprovalChoice> ask(std::string port, std::string key, std::string body,
                                    asio::cancellation_slot cancel);

} // namespace pavix::MCPApprove
