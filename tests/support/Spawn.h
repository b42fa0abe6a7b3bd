#pragma once

#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pavix::test {

using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

/// This process's environment, by name.
std::map<std::string, std::string> currentEnvironment();

/// How the tests, their services and the fake agent start every process, so that one
/// place decides how: `argv[0]` (looked up in PATH when it has no "/") with this process's
/// environment changed by `changes` (a nullopt value removes the variable), `in`, `out`
/// and `err` as its standard descriptors (-1 passes ours on), no other descriptor, and
/// signals at their defaults. The child's pid, or -1 when it could not be started.
pid_t spawnProcess(const std::vector<std::string>& argv, const EnvironmentChanges& changes = {},
                   int in = -1, int out = -1, int err = -1);

} // namespace pavix::test
