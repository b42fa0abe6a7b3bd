#pragma once

#include "Spawn.h"

#include <string>
#include <vector>

namespace pavix::test {

struct ProgramOutput {
    int status = -1; ///< exit status, or 128 + signal
    std::string out;
    std::string err;
};

/// Runs `program` with `arguments` to its end, `input` on its standard input, the
/// environment changed by `environment`.
ProgramOutput runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const EnvironmentChanges& environment = {}, const std::string& input = "");

/// The built pavix-bridge with `arguments`, under the current $HOME.
ProgramOutput runBridge(const std::vector<std::string>& arguments,
                        const EnvironmentChanges& environment = {}, const std::string& input = "");

/// How `pid` ended once reaped (blocking): its exit status, or 128 + signal.
int reap(pid_t pid);

} // namespace pavix::test
