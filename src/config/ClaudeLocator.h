#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace pavix::ClaudeLocator {

/// Whether `path` is a regular file (after symbolic links) that we may execute.
bool isExecutableFile(const std::filesystem::path& path);

/// The Claude Code executable: "PAVIX_CLAUDE_PATH", then the Claude app's versions
/// (newest first), then the usual install places. Nothing when none is executable.
std::optional<std::filesystem::path> binary();

/// The first space-separated word of `<binary> --version`; nothing when the probe
/// cannot start, prints nothing, or has not ended after `limit` (it is then killed).
/// Blocks: call it before the event loop runs or on a thread of its own.
std::optional<std::string> version(const std::filesystem::path& binary,
                                   std::chrono::milliseconds limit = std::chrono::seconds(10));

/// Whether Claude Code holds credentials for this user.
bool isSignedIn();

} // namespace pavix::ClaudeLocator
