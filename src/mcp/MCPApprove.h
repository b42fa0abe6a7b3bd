#pragma once

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavix::MCPApprove {

/// The `mcp` mode: a stdio MCP server offering the one tool "approve". Reads "--port" and
/// "--run" from `arguments` (element 0 is the command word), answers one message per line of
/// standard input, and ends the process with status 0 when standard input ends. Writes nothing
/// to standard error.
[[noreturn]] void run(const std::vector<std::string>& arguments);

/// The argument directly after the first one equal to `name`; nothing when `name` is absent
/// or last.
std::optional<std::string> value(const std::vector<std::string>& arguments, std::string_view name);

/// Puts one tool call to the person and returns their choice ("deny" or anything else).
using Asker = std::function<std::string(const std::string& tool, const nlohmann::json& input)>;

/// Most nested arrays and objects a message may hold; deeper lines are ignored like any other
/// line that is not JSON, because echoing them would recurse without bound.
inline constexpr int maximumNesting = 512;

/// The whole reply to one input line, compact JSON ending in "\n", or nothing when the line
/// gets no answer (not a JSON object, no text "method", no "id"). `ask` is called only for a
/// "tools/call" that carries an id.
std::optional<std::string> handleMessage(std::string_view line, const Asker& ask);

/// "http://127.0.0.1:<port>/internal/approve", or nothing unless `port` is 1 to 5 ASCII
/// digits naming a port no higher than 65535.
std::optional<std::string> approvalURL(std::string_view port);

/// POSTs {"run", "tool_name", "input"} to the service on `port` with `key` as the bearer key
/// and blocks until it answers (at most 660 seconds). The answer's text "choice", or "deny"
/// when there is none: unreachable service, timeout, body not a JSON object with a text
/// "choice". The HTTP status is not looked at.
std::string ask(const std::string& port, const std::string& key, const std::string& run,
                const std::string& tool, const nlohmann::json& input);

} // namespace pavix::MCPApprove
