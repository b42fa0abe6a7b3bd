#pragma once

#include "run/ClaudeCommand.h"
#include "run/ClaudeProcess.h"
#include "run/EventLog.h"
#include "run/OutputTranslator.h"
#include "util/Async.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace pavix {

/// One Claude Code process and everything the service knows about it: status, output,
/// the event log, and the approval it may be waiting on.
///
///   state        what leads out of it
///   running      an approval request → waiting_for_approval; the last turn's result, or
///                the process's end → ended
///   waiting_for_approval
///                the phone's answer, a newer request, the timeout, the request withdrawn
///                (Claude Code reports its tool's result, or the asker goes) → running
///   stopping     (stop(): the waiting approval is denied, SIGINT; SIGTERM 3 s later and
///                SIGKILL 5 s after that to its process group while the process lives; once
///                it has exited, SIGTERM to what is left of the group, SIGKILL 3 s later) an
///                error result or the process's end → ended "cancelled"; a successful result
///                → "completed"
///   ended        one terminal event, published once: "completed", "failed", "cancelled"
///
/// The process may outlive the run's end (processRunning()). Should its output close
/// while it runs, its input is closed and it is ended on the stop's schedule.
///
/// Loop affinity: every member runs on the executor given to `start`, as do the process's
/// callbacks and the run's timers; nothing here locks. Callbacks and timers hold the run
/// weakly, so a run that its owner drops goes quiet. So: exactly one terminal event; a
/// reader gets the log, then live events, each once; every approval request is answered
/// exactly once.
class ClaudeRun final : public std::enable_shared_from_this<ClaudeRun>, private OutputListener {
public:
    struct Options {
        ClaudeCommand command; ///< its `runId` is filled in by `start`
        std::string prompt;
        /// The stored conversation it belongs to: the service's session id, not Claude Code's.
        std::string storedSessionId;
        /// Told Claude Code's session id when its "init" message names one.
        std::function<void(std::string)> onSession;
        /// Told the reply to store once the run has ended: the error of a failed run, else
        /// its output.
        std::function<void(std::string)> onEnd;
        std::chrono::steady_clock::duration approvalTimeout = std::chrono::seconds(600);
        StopSchedule stopSchedule;
    };

    /// Launches Claude Code and writes the prompt as its first input line. Fails with a
    /// readable Error when the process cannot be launched; then nothing is logged.
    static Result<std::shared_ptr<ClaudeRun>> start(asio::any_io_executor executor,
                                                    Options options);

    ClaudeRun(const ClaudeRun&) = delete;
    ClaudeRun& operator=(const ClaudeRun&) = delete;
    ~ClaudeRun();

    const std::string& id() const { return id_; }
    const std::string& storedSessionId() const { return options_.storedSessionId; }
    /// True once the terminal event has been published.
    bool finished() const { return end_.has_value(); }
    /// True until Claude Code's process has been reaped, which may be after `finished()`.
    bool processRunning() const;
    bool stopRequested() const { return stopRequested_; }
    /// {"status", "output"} always; "error", "last_event", "session_id" when set.
    nlohmann::json statusJSON() const;
    /// The status word of statusJSON(): "running", "waiting_for_approval" or how it ended.
    std::string_view status() const;
    /// The events so far, in order.
    const EventLog& events() const { return *log_; }

    /// The reply so far: the text of its deltas, or the final result's text once it has
    /// completed with one.
    std::string output() const;
    /// The bytes its events hold in memory.
    std::size_t memoryBytes() const { return log_->memoryBytes(); }
    /// Moves a finished run's events into a scratch file in `folder`, written by `worker`,
    /// where readers and the status find them, releasing their memory; `onMoved` hears how
    /// it went (on failure nothing changes).
    void moveToFile(const std::filesystem::path& folder, FileWorker& worker,
                    std::function<void(Status)> onMoved);
    /// Whether its events are in memory and not on their way to a file.
    bool inMemory() const { return log_->inMemory(); }

    /// The log after its first `after` events, then live events until the run ends.
    std::shared_ptr<EventLog::Reader> read(std::size_t after);
    /// Sends the phone's further message to Claude Code, which then owes one more result
    /// before the run ends, and publishes the steered event. False, with nothing sent, when
    /// Claude Code takes no more input or has left too much of it unread.
    bool steer(std::string message);
    /// Denies a waiting approval and stops Claude Code (see the table above). Safe on a
    /// finished run and when repeated.
    void stop();

    /// Answers the waiting approval request with `choice`; false when none is waiting.
    bool resolveApproval(ApprovalChoice choice);
    /// Asks the phone whether Claude Code may use `tool` (in its call `toolUseId`, when
    /// known) and waits for the choice: deny on a stop, the end of the run, a newer request,
    /// the timeout, the call's result reported by Claude Code, or the caller's cancellation.
    /// A tool answered "session" before is allowed straight away, without asking. Whatever
    /// Claude Code has written to its output by then is published first.
    asio::awaitable<ApprovalChoice> requestApproval(std::string tool, nlohmann::json input,
                                                    std::optional<std::string> toolUseId = {});

private:
    struct PendingApproval;

    ClaudeRun(asio::any_io_executor executor, Options options);

    // What Claude Code's output says (OutputListener).
    void delta(std::string_view escaped, std::string_view text) override;
    void event(Event event) override;
    void session(std::string_view id) override;
    void toolResult(std::string_view toolUseId) override;
    void result(TurnResult result) override;

    void outputChunk(std::string_view chunk);
    void processEnded(int status);
    bool sendUserMessage(std::string message);
    void publish(const Event& event);
    void finish(RunEnd end);

    asio::any_io_executor executor_;
    std::string id_;
    Options options_;
    std::shared_ptr<EventLog> log_;
    OutputTranslator translator_;
    std::unique_ptr<ClaudeProcess> process_;

    std::optional<std::string> sessionId_;
    std::optional<EventKind> lastEvent_;
    std::optional<RunEnd> end_;
    bool stopRequested_ = false;
    std::int64_t openTurns_ = 0;

    std::shared_ptr<PendingApproval> approval_;
    std::set<std::string> allowedForRun_;
};

} // namespace pavix
