#pragma once

#include "platform/Spawn.h"
#include "util/Async.h"
#include "util/Result.h"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace pavix {

/// Where a child's output and end are reported, always on the loop. Owners that may
/// go away before the child should capture themselves weakly.
struct ChildHandlers {
    /// Standard output chunks, in order, then one empty chunk at its end.
    std::function<void(std::string_view)> onOutput;
    /// Standard error chunks, in order, then one empty chunk at its end.
    std::function<void(std::string_view)> onError;
    /// Called once, after the child has been reaped and both outputs have reached their
    /// end (or, if a descendant keeps them open, `outputGrace` after the exit: then our
    /// ends are closed, and the descendant's later writes fail). The status is the exit
    /// code, or 128 + the signal number for a death by signal.
    std::function<void(int status)> onExit;
};

/// One child process with pipes on all three standard descriptors.
///
/// Loop affinity: every member is used on the executor given to `start`. The object
/// keeps itself alive until the child is reaped and its output has ended, so a
/// dropped owner never leaves a zombie; it needs the process to ignore SIGPIPE, and
/// `start` arranges that (the child's own SIGPIPE is reset to the default).
///
/// Its outputs are read when they are ready, and every chunk read is handed on at once, in
/// the same turn of the loop: no chunk is ever read and left waiting, so
/// `readAvailableOutput()` cannot overtake one.
class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
public:
    /// How long the exit report waits for output that a surviving descendant holds open.
    static constexpr std::chrono::seconds outputGrace{2};
    /// How many bytes may wait for a child that does not read its input.
    static constexpr std::size_t inputBacklog = 8 << 20;
    /// The most bytes of one output read in one turn of the loop, so that a child writing
    /// without pause cannot hold it; more than a pipe holds.
    static constexpr std::size_t readBurst = 1 << 20;

    /// Launches the child. Failure (missing program, not executable, missing folder,
    /// no descriptors left) returns a readable Error and leaves nothing behind.
    static Result<std::shared_ptr<ChildProcess>> start(asio::any_io_executor executor,
                                                       LaunchPlan plan, ChildHandlers handlers);

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    /// True until the child has been reaped, which may be a while after its exit (see
    /// endGroupOnExit); until then it may be signalled.
    bool running() const { return !reaped_; }
    /// Whether the child has ended, though perhaps not reaped yet (that is left to the
    /// reaper, which then reports the exit as usual).
    bool hasEnded() const;
    /// Hands on, through onOutput, what standard output holds now (up to `readBurst`), so
    /// that everything the child wrote there before this call has been reported.
    void readAvailableOutput();

    /// Queues `bytes` for the child's standard input; never blocks. False, dropping
    /// them, after `closeInput()`, once the child has closed its input or gone, and
    /// while more than `inputBacklog` bytes are still waiting for the child to read.
    bool write(std::string bytes);
    /// Closes standard input once everything queued so far has been written (at once
    /// when nothing is queued).
    void closeInput();
    /// Sends `number` to the child while it is running; false once it has been reaped.
    bool signal(int number);
    /// Sends `number` to the child's process group (to the child alone if it has none of its
    /// own) until the child is reaped: while it is unreaped the group's id stays ours.
    bool signalGroup(int number);
    /// Sends `number` to the child (or its group) after `delay` if it has not ended then.
    void signalAfter(std::chrono::steady_clock::duration delay, int number, bool group = false);
    /// Once the child has ended, what is left of its group gets SIGTERM, and SIGKILL `killAfter`
    /// later; the child is reaped only then, so that its id cannot pass to another group
    /// meanwhile. Without a group of its own, or once it has been reaped, nothing happens.
    void endGroupOnExit(std::chrono::steady_clock::duration killAfter);

    // Called by the reaper: the child has ended with `status` (see exitStatus); true when it
    // is to stay unreaped until it hands itself to ChildReaper::reap.
    bool ended(int status);
    // Called by the reaper once the child has been reaped.
    void reaped();

private:
    struct Token {};

public:
    ChildProcess(Token, asio::any_io_executor executor, pid_t pid, bool ownProcessGroup, int input,
                 int output, int error, ChildHandlers handlers);

private:
    static asio::awaitable<void> readLoop(std::shared_ptr<ChildProcess> self, bool errorStream);
    bool drain(bool errorStream);
    void deliver(bool errorStream, std::string_view chunk);
    void endStream(bool errorStream);
    void writeNext();
    void closeInputNow();
    void outputEnded();
    void reportExitIfDue();
    void reportExit();

    asio::any_io_executor executor_;
    pid_t pid_;
    asio::posix::stream_descriptor input_;
    asio::posix::stream_descriptor output_;
    asio::posix::stream_descriptor error_;
    ChildHandlers handlers_;
    std::deque<std::string> pending_;
    std::size_t pendingBytes_ = 0;
    bool writing_ = false;
    bool closeRequested_ = false;
    int openOutputs_ = 2;
    bool outputEnded_ = false, errorEnded_ = false;
    bool ownProcessGroup_;
    std::optional<std::chrono::steady_clock::duration> groupKillAfter_;
    bool ended_ = false;
    bool reaped_ = false;
    bool exitReported_ = false;
    bool graceStarted_ = false;
    int status_ = -1;
    asio::steady_timer grace_;
    asio::steady_timer groupKill_;
    std::list<asio::steady_timer> signalTimers_;
};

} // namespace pavix
