#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pavix::test {

using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

/// This process's environment with `changes` applied (a nullopt value removes the
/// variable), as the null-terminated block posix_spawn takes.
class ChildEnvironment {
public:
    explicit ChildEnvironment(const EnvironmentChanges& changes);
    ChildEnvironment(const ChildEnvironment&) = delete;
    ChildEnvironment& operator=(const ChildEnvironment&) = delete;
    char** block() { return pointers_.data(); }

private:
    std::vector<std::string> entries_; ///< "NAME=value"
    std::vector<char*> pointers_;      ///< into entries_, then nullptr
};

struct ProgramOutput {
    int status = -1; ///< exit status, or 128 + signal
    std::string out;
    std::string err;
};

/// Runs `program` with `arguments` to completion, feeding `input` on standard input.
/// `environment` entries are added to (or, with nullopt values, removed from) ours.
ProgramOutput runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const EnvironmentChanges& environment = {}, const std::string& input = "");

/// The built pavix-bridge with `arguments`, under the current $HOME.
ProgramOutput runBridge(const std::vector<std::string>& arguments,
                        const EnvironmentChanges& environment = {}, const std::string& input = "");

} // namespace pavix::test
