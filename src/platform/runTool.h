#pragma once

#include <string>
#include <vector>

namespace pavix {

/// Runs `program` with `arguments` and blocks until it ends. Without a slash in its name
/// the program is searched on PATH, as execvp does. It inherits standard input and the
/// environment; its output and errors go to the null device; no other descriptor of ours
/// reaches it. Returns its exit status, 128 + the signal that ended it, or -1 when it
/// could not be started.
int runTool(const std::string& program, const std::vector<std::string>& arguments) noexcept;

} // namespace pavix
