#include "run/ClaudeCommand.h"

#include "util/Files.h"
#include "util/Json.h"

extern char** environ;

namespace pavix {

namespace {

// A service started from inside a Claude Code session (its terminal, say) inherits that
// session's CLAUDE* variables, which would tell the run it is nested in it or carry that
// session's settings over: none is the run's. In direct mode the ANTHROPIC_* ones go too,
// so the run uses the account the user signed in with, not a key or endpoint of ours.
// A login item starts with the system's bare PATH; the usual install places of Claude
// Code and its tools (Homebrew, /usr/local, ~/.local/bin) come first, so that what the
// user installed wins over the system's older copies.
std::map<std::string, std::string> environment(bool direct) {
    std::map<std::string, std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        auto name = text.substr(0, equals);
        if (name.starts_with("CLAUDE") || (direct && name.starts_with("ANTHROPIC_"))) continue;
        result.emplace(std::string(name), std::string(text.substr(equals + 1)));
    }
    auto path = result.find("PATH");
    std::string rest = path != result.end() ? path->second : "/usr/bin:/bin:/usr/sbin:/sbin";
    result["PATH"] =
        "/opt/homebrew/bin:/usr/local/bin:" + homeFolder().string() + "/.local/bin:" + rest;
    return result;
}

Result<std::string> mcpConfiguration(const ClaudeCommand& command) {
    nlohmann::json server = {
        {"command", command.approvalServer.string()},
        {"args", {"mcp", "--port", std::to_string(command.config.port), "--run", command.runId}},
    };
    auto text = compactJSON({{"mcpServers", {{"pavix", std::move(server)}}}});
    if (!text)
        return Error{"the approval server's path is not UTF-8: " + command.approvalServer.string()};
    return *text;
}

} // namespace

bool directMode(const BridgeConfig& config) {
    return !config.settings || *config.settings == "direct";
}

Result<LaunchPlan> claudeLaunchPlan(const ClaudeCommand& command) {
    auto configuration = mcpConfiguration(command);
    if (!configuration) return configuration.error();
    const bool direct = directMode(command.config);
    std::vector<std::string> arguments{"-p",
                                       "--input-format",
                                       "stream-json",
                                       "--output-format",
                                       "stream-json",
                                       "--verbose",
                                       "--include-partial-messages",
                                       "--permission-prompt-tool",
                                       "mcp__pavix__approve",
                                       "--mcp-config",
                                       *configuration};
    if (direct) arguments.insert(arguments.end(), {"--setting-sources", "project,local"});
    if (command.instructions && !command.instructions->empty())
        arguments.insert(arguments.end(), {"--append-system-prompt", *command.instructions});
    if (command.resume) arguments.insert(arguments.end(), {"--resume", *command.resume});
    // A group of its own: a stop can then end the tools it leaves running.
    LaunchPlan plan;
    plan.program = command.binary;
    plan.arguments = std::move(arguments);
    plan.environment = environment(direct);
    plan.folder = command.folder;
    plan.ownProcessGroup = true;
    return plan;
}

} // namespace pavix
