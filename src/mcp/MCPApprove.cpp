#include "mcp/MCPApprove.h"

#include "config/BridgeConfig.h"
#include "mcp/LineReader.h"
#include "util/Files.h"

#include <cstdlib>
#include <unistd.h>

namespace pavix::MCPApprove {

std::optional<std::string> value(const std::vector<std::string>& arguments, std::string_view name) {
    for (std::size_t i = 0; i < arguments.size(); ++i)
        if (arguments[i] == name)
            return i + 1 < arguments.size() ? std::optional(arguments[i + 1]) : std::nullopt;
    return std::nullopt;
}

namespace {

void answerStandardInput(const std::vector<std::string>& arguments) {
    const std::string port = value(arguments, "--port").value_or("8790");
    const std::string runId = value(arguments, "--run").value_or("");
    // Without a key the service refuses every question, which ends each call as a denial.
    auto config = BridgeConfig::loadOrCreate();
    const std::string key = config ? config->key : "";
    const Asker asker = [&](const std::string& tool, const nlohmann::json& input) {
        return ask(port, key, runId, tool, input);
    };

    LineReader lines(STDIN_FILENO);
    while (std::optional<std::string> line = lines.next()) {
        // Each reply is handed over in one write (continued only after a short write). A closed
        // standard output has no one to tell; reading goes on until input ends.
        if (std::optional<std::string> reply = handleMessage(*line, asker))
            writeAll(STDOUT_FILENO, *reply);
    }
}

} // namespace

void run(const std::vector<std::string>& arguments) {
    answerStandardInput(arguments);
    std::exit(0);
}

} // namespace pavix::MCPApprove
