#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavix::MCPApprove {

/// The `mcp` mode: a stdio MCP server offering the one tool "approve". Reads "--port" and
/// "--run" from `arguments` (element 0 is the command word) and answers the messages on
/// standard input, one per line, while approval calls wait for the service. Ends the process
/// with status 0 as soon as standard input ends, calls still waiting or not: Claude Code closes
/// it when it is done with this server. Writes nothing to standard error.
[[noreturn]] void run(const std::vector<std::string>& arguments);

/// The argument directly after the first one equal to `name`; nothing when `name` is absent
/// or last.
std::optional<std::string> value(const std::vector<std::string>& arguments, std::string_view name);

} // namespace pavix::MCPApprove
