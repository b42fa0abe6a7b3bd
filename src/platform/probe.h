#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pavix {

/// Runs `program` with `arguments` and returns everything it wrote to standard output.
/// Standard input and the environment are inherited, standard error goes to the null
/// device, and the child inherits no other descriptor of ours. The exit status is not
/// looked at. Nothing when it cannot start, or when it has not ended (and closed its
/// output) within `limit`: it is then killed with SIGKILL and reaped.
/// Blocks the caller: use it only before the event loop runs.
std::optional<std::string> captureOutput(const std::filesystem::path& program,
                                         const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds limit);

} // namespace pavix
