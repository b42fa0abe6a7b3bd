#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace pavix {

/// Where Claude Code was found, and the version it reported.
struct ClaudeInstallation {
    std::optional<std::filesystem::path> binary;
    std::optional<std::string> version;

    /// Asks the locator; blocks on the version probe (at most `limit`), so call it before
    /// the loop runs or on a thread of its own.
    static ClaudeInstallation locate(std::chrono::milliseconds limit = std::chrono::seconds(10));
};

} // namespace pavix
