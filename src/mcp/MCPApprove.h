#pragma once

#include <string>
#include <vector>

namespace pavix::MCPApprove {

/// The `mcp` mode: a stdio MCP server offering the one tool "approve". Ends the
/// process with status 0 when standard input ends.
[[noreturn]] void run(const std::vector<std::string>& arguments);

} // namespace pavix::MCPApprove
