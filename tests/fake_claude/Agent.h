#pragma once

#include "McpClient.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace fake {

using json = nlohmann::json;

/// Thrown by the "exit" step; unwinds to `Agent::run`, which returns the status.
struct Exit {
    int status;
};

/// Plays one scenario (see README.md) against the service, the way Claude Code would.
class Agent {
public:
    Agent(json scenario, std::vector<std::string> arguments);
    int run();

private:
    using Clock = std::chrono::steady_clock;
    enum class Awaiting { nothing, input, server };

    int answerVersion();
    void installSignals();
    void conversation();

    // Everything that blocks goes through here, so signals are acted on at once.
    // True when what was awaited is ready; false when the deadline passed first.
    bool waitUntil(std::optional<Clock::time_point> deadline, Awaiting what);
    void onSignal(int signal);
    std::optional<std::string> nextInputLine();

    void runSteps(const json& steps);
    void runStep(const json& step);
    json expand(const json& value) const;
    json message(const std::string& kind, const json& body) const;
    void emit(const std::string& bytes);
    void writeError(const std::string& bytes);
    void approve(const json& request);
    bool ensureServer();
    std::optional<json> call(json request, std::optional<std::chrono::milliseconds> limit);

    void record(json entry);
    [[noreturn]] void fail(const std::string& why);
    int finish(int status);

    json scenario_;
    std::vector<std::string> arguments_;
    std::optional<std::string> mcpConfig_;
    std::optional<std::string> resume_;
    std::string sessionId_;
    std::string cwd_;
    int recordFd_ = -1;

    std::string input_;
    bool inputEnded_ = false;
    std::string turnText_;
    int turn_ = 0;
    std::optional<int> repetition_; ///< the pass of the "repeat" step under way, from 1

    std::string* capture_ = nullptr;
    bool inSignalSteps_ = false;

    McpClient server_;
    enum class ServerState { none, ready, failed } serverState_ = ServerState::none;
    int nextRequestId_ = 0;
    int nextToolUse_ = 0;
};

} // namespace fake
