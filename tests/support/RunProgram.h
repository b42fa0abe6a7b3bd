#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pavix::test {

struct ProgramOutput {
    int status = -1; ///< exit status, or 128 + signal
    std::string out;
    std::string err;
};

/// Runs `program` with `arguments` to completion, feeding `input` on standard input.
/// `environment` entries are added to (or, with nullopt values, removed from) ours.
ProgramOutput runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::optional<std::string>>& environment = {},
                         const std::string& input = "");

/// The built pavix-bridge with `arguments`, under the current $HOME.
ProgramOutput runBridge(const std::vector<std::string>& arguments,
                        const std::map<std::string, std::optional<std::string>>& environment = {},
                        const std::string& input = "");

} // namespace pavix::test
