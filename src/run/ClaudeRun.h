#pragma once

#include "config/BridgeConfig.h"
#include "http/EventStream.h"
#include "util/Result.h"
#include "util/Async.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pavix {

class ChildProcess;
struct ClaudeRunProbe;

/// One Claude Code process and everything the service knows about it: status, output,
/// the event log with its subscribers, and the approval it may be waiting on.
///
/// Loop affinity: every member runs on the executor given to `start`, as do the
/// process's callbacks and the run's timers; nothing here locks. Callbacks and timers
/// hold the run weakly, so a run that its owner drops goes quiet. Outcomes kept:
/// exactly one terminal event; a subscriber gets the log, then live events, each once;
/// every approval request is answered exactly once.
class ClaudeRun : public std::enable_shared_from_this<ClaudeRun> {
public:
    struct Options {
        std::string prompt;
        std::optional<std::string> instructions;
        std::filesystem::path cwd;
        std::optional<std::string> resume;
        BridgeConfig config;
        std::filesystem::path binary;
        /// Told Claude Code's session id when its "init" message names one (on the loop).
        std::function<void(std::string)> onSession;
        std::chrono::steady_clock::duration approvalTimeout = std::chrono::seconds(600);
        /// After a stop: SIGTERM this long after the SIGINT, SIGKILL this long after that.
        std::chrono::steady_clock::duration stopTerminateAfter = std::chrono::seconds(3);
        std::chrono::steady_clock::duration stopKillAfter = std::chrono::seconds(5);
        /// The program Claude Code starts as its approval server; empty means
        /// `Installer::currentBinary()`.
        std::filesystem::path mcpCommand;
    };

    /// Launches Claude Code and writes the prompt as its first input line. Fails with a
    /// readable Error when the process cannot be launched; then nothing is logged.
    static Result<std::shared_ptr<ClaudeRun>> start(asio::any_io_executor executor,
                                                    Options options);

    ClaudeRun(const ClaudeRun&) = delete;
    ClaudeRun& operator=(const ClaudeRun&) = delete;
    ~ClaudeRun();

    const std::string& id() const { return id_; }
    /// True once the terminal event has been published.
    bool finished() const { return finished_; }
    /// True until Claude Code's process has been reaped, which may be after `finished()`.
    bool processRunning() const;
    /// True once `stop()` has been called.
    bool stopRequested() const { return cancelled_; }
    /// {"status", "output"} always; "error", "last_event", "session_id" when set.
    nlohmann::json statusJSON() const;

    /// The whole event log, then live events until the run finishes (at once when it
    /// already has). Destroying the reader unsubscribes.
    EventReader subscribe();
    /// Publishes `event` (an object named by its "event" key) to the log and subscribers.
    void emit(nlohmann::json event);
    /// Writes one user message to Claude Code's input; the run then expects one more
    /// "result" before it finishes. Never blocks. False, with nothing sent, when Claude
    /// Code takes no more input or has left too much of it unread.
    bool sendUserMessage(std::string message);
    /// Denies a waiting approval and interrupts Claude Code, escalating to SIGTERM and
    /// then SIGKILL while it keeps running. Safe on a finished run and when repeated.
    void stop();

    /// Answers the waiting approval request with `choice`; false when none is waiting.
    bool resolveApproval(std::string choice);
    /// Asks the phone whether Claude Code may use `tool` and waits for the choice word
    /// ("deny" on a stop, the end of the run, a newer request or the timeout). Tools
    /// answered "session" before return "once" at once, without asking.
    asio::awaitable<std::string> requestApproval(std::string tool, nlohmann::json input);

    // The pieces of the launch, pure so they can be checked without launching.

    /// Direct mode: the configuration's settings are absent or "direct".
    static bool directMode(const BridgeConfig& config);
    /// The service's environment filtered for Claude Code, with a PATH that finds it.
    static std::map<std::string, std::string> environment(bool direct);
    /// The inline MCP configuration naming `command` as the approval server.
    static Result<std::string> mcpConfiguration(const std::filesystem::path& command,
                                                std::uint16_t port, const std::string& runId);
    /// Claude Code's arguments (without the program itself).
    static std::vector<std::string> arguments(const std::string& mcpConfiguration, bool direct,
                                              const std::optional<std::string>& instructions,
                                              const std::optional<std::string>& resume);
    /// A tool's name as shown: an MCP tool by its last "__" piece, others unchanged.
    static std::string displayName(const std::string& tool);
    /// A short text about a tool's input: its first telling string, cut to 300 clusters.
    static std::optional<std::string> preview(const nlohmann::json* input);

private:
    friend struct ClaudeRunProbe;
    struct PendingApproval;
    struct ToolCall {
        std::string name;
        std::chrono::steady_clock::time_point started;
    };

    ClaudeRun(asio::any_io_executor executor, Options options);

    // Claude Code's output and end.
    void consume(std::string_view chunk);
    void outputEnded();
    void consumeErrors(std::string_view chunk);
    void handle(const nlohmann::json& message);
    void handleAssistant(const nlohmann::json& message);
    void handleUser(const nlohmann::json& message);
    void handleResult(const nlohmann::json& message);
    void processEnded(int status);
    void finish(nlohmann::json event);

    asio::any_io_executor executor_;
    std::string id_;
    Options options_;
    std::shared_ptr<ChildProcess> process_;

    std::string status_ = "running";
    std::string output_;
    std::optional<std::string> error_;
    std::optional<std::string> lastEvent_;
    std::optional<std::string> sessionId_;
    std::vector<EventText> events_;
    std::map<std::uint64_t, EventWriter> subscribers_;
    std::uint64_t nextSubscriber_ = 0;
    bool finished_ = false;
    bool cancelled_ = false;

    std::string buffer_;
    std::size_t scanned_ = 0;   ///< bytes of `buffer_` known to hold no newline
    bool droppingLine_ = false; ///< the line being read has been dropped as overlong
    std::string stderrTail_;
    std::int64_t openTurns_ = 0;
    bool sawDelta_ = false;
    std::map<std::string, ToolCall> tools_;

    std::shared_ptr<PendingApproval> approval_;
    std::set<std::string> allowedForRun_;
};

} // namespace pavix
