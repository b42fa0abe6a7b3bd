#pragma once

#include "config/BridgeConfig.h"
#include "platform/Spawn.h"
#include "util/Result.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pavix {

/// What a run asks of Claude Code.
struct ClaudeCommand {
    std::filesystem::path binary;
    std::filesystem::path folder;
    std::string runId;
    std::optional<std::string> instructions;
    std::optional<std::string> resume; ///< Claude Code's session to continue
    BridgeConfig config;
    /// The program Claude Code starts as its approval server (this executable).
    std::filesystem::path approvalServer;
};

/// Direct mode: the configuration's settings are absent or "direct". Claude Code then uses
/// project and local settings only, and no ANTHROPIC_ variable reaches it.
bool directMode(const BridgeConfig& config);

/// The process to launch: Claude Code in streaming-JSON mode, its approvals through
/// `approvalServer mcp`, in `folder`, with the service's environment less the variables
/// it must not see and a PATH that finds its helpers.
Result<LaunchPlan> claudeLaunchPlan(const ClaudeCommand& command);

} // namespace pavix
