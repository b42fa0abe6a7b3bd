#pragma once

#include "platform/ChildProcess.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace pavix {

/// When an unwanted Claude Code is ended: SIGTERM this long after the SIGINT of a stop (or
/// after its output closed), SIGKILL this long after the SIGTERM.
struct StopSchedule {
    std::chrono::steady_clock::duration terminateAfter = std::chrono::seconds(3);
    std::chrono::steady_clock::duration killAfter = std::chrono::seconds(5);
};

/// One run's Claude Code process: its input, how it is ended, and what it said on standard
/// error. Loop-affine, like the ChildProcess it holds.
class ClaudeProcess {
public:
    ClaudeProcess(std::shared_ptr<ChildProcess> child, StopSchedule schedule);
    /// Nobody will write more: its input is closed, so it can finish.
    ~ClaudeProcess();
    ClaudeProcess(const ClaudeProcess&) = delete;
    ClaudeProcess& operator=(const ClaudeProcess&) = delete;

    /// True until the process has been reaped.
    bool running() const { return child_->running(); }
    /// Queues a line for its input; false when it takes no more (see ChildProcess::write).
    bool write(std::string line) { return child_->write(std::move(line)); }
    /// Hands on what its output holds now (see ChildProcess::readAvailableOutput).
    void readAvailableOutput() { child_->readAvailableOutput(); }
    /// Closes its input once what is queued has been written: Claude Code then exits.
    void closeInput() { child_->closeInput(); }

    /// Interrupts it (SIGINT, to it alone, every time) and, the first time, ends it and its
    /// process group on the schedule should it keep running. Once it has exited, what is left
    /// of its group gets SIGTERM, and SIGKILL `terminateAfter` later (it stays running()
    /// until then). Nothing once it has ended.
    void stop();
    /// Its output has closed, so it can tell nothing more: its input is closed and it is
    /// ended (with its group) on the schedule should it keep running.
    void outputClosed();

    /// Keeps the end of its standard error.
    void addErrors(std::string_view chunk);
    /// Why it failed, given its exit status: the end of its standard error (invalid bytes
    /// replaced), else "Claude Code exited (<status>).".
    std::string failure(int status) const;

private:
    void endOnSchedule();

    std::shared_ptr<ChildProcess> child_;
    StopSchedule schedule_;
    bool ending_ = false;
    std::string errors_; ///< the raw end of standard error
};

} // namespace pavix
