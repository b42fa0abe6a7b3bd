#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pavix {

// Both block the caller until the program has ended. It inherits the environment, reads
// from the null device, and gets no descriptor of ours.

/// Runs `program` (a name without a slash is looked up on PATH) with its output and errors
/// going to the null device. Its exit status, 128 + the signal that ended it, or -1 when
/// it could not be started.
int runTool(const std::string& program, const std::vector<std::string>& arguments);

/// Runs `program` and returns everything it wrote to standard output; its errors go to
/// the null device and its exit status is not looked at. Nothing when it cannot start, or
/// when it has not ended (and closed its output) within `limit`: it is then killed with
/// SIGKILL, with what it started (it runs in a process group of its own), and reaped. Blocks:
/// call it before the event loop runs or on a thread of its own (it reaps its child by pid,
/// so a loop's reaper never takes it).
std::optional<std::string> captureOutput(const std::filesystem::path& program,
                                         const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds limit);

} // namespace pavix
