#include "platform/ChildProcess.h"

#include "platform/ChildReaper.h"
#include "platform/Spawn.h"
#include "util/Log.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace pavix {

namespace {

// A child that stops reading its input must not end the service with SIGPIPE.
void ignoreBrokenPipes() {
    struct sigaction action {};
    if (::sigaction(SIGPIPE, nullptr, &action) == 0 && action.sa_handler == SIG_DFL) {
        action.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &action, nullptr);
    }
}

} // namespace

Result<std::shared_ptr<ChildProcess>> ChildProcess::start(asio::any_io_executor executor,
                                                          LaunchPlan plan, ChildHandlers handlers) {
    ignoreBrokenPipes();
    auto& reaper = ChildReaper::of(executor);
    reaper.prepare(executor);

    Result<Pipe> pipes[] = {makePipe(), makePipe(), makePipe()};
    for (auto& pipe : pipes)
        if (!pipe) return pipe.error();
    auto& [input, output, error] = pipes;
    plan.standard = {input->read.get(), output->write.get(), error->write.get()};
    auto pid = spawnProcess(plan);
    if (!pid) return pid.error();

    auto child = std::make_shared<ChildProcess>(Token{}, executor, *pid, plan.ownProcessGroup,
                                                input->write.release(), output->read.release(),
                                                error->read.release(), std::move(handlers));
    startCoroutine(executor, readLoop(child, false), "reading a child's output");
    startCoroutine(executor, readLoop(child, true), "reading a child's errors");
    reaper.watch(child);
    return child;
}

ChildProcess::ChildProcess(Token, asio::any_io_executor executor, pid_t pid, bool ownProcessGroup,
                           int input, int output, int error, ChildHandlers handlers)
    : executor_(executor)
    , pid_(pid)
    , input_(executor, input)
    , output_(executor, output)
    , error_(executor, error)
    , handlers_(std::move(handlers))
    , ownProcessGroup_(ownProcessGroup)
    , grace_(executor)
    , groupKill_(executor) {
    boost::system::error_code ignored; // then a read finds nothing rather than blocking
    output_.native_non_blocking(true, ignored);
    error_.native_non_blocking(true, ignored);
}

ChildProcess::~ChildProcess() = default;

asio::awaitable<void> ChildProcess::readLoop(std::shared_ptr<ChildProcess> self, bool errorStream) {
    auto& stream = errorStream ? self->error_ : self->output_;
    // Waits first: the loop may run this inline, and nothing may be handed on before the
    // launch is complete.
    do {
        auto [error] = co_await stream.async_wait(asio::posix::descriptor_base::wait_read,
                                                  asio::as_tuple(asio::use_awaitable));
        // Closed under the wait (the exit was reported without it), or not to be waited on.
        if (error) self->endStream(errorStream);
    } while (self->drain(errorStream));
}

void ChildProcess::readAvailableOutput() {
    auto self = shared_from_this(); // a handler may let go of its owner
    drain(false);
}

// Reads what the stream holds now, handing each chunk on as it is read. At its end, or on
// an error, reports that end. Whether more may come.
bool ChildProcess::drain(bool errorStream) {
    auto& stream = errorStream ? error_ : output_;
    std::array<char, 65536> chunk;
    for (std::size_t read = 0; stream.is_open();) {
        ssize_t n = ::read(stream.native_handle(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) break; // its end, or an error
        deliver(errorStream, std::string_view(chunk.data(), static_cast<std::size_t>(n)));
        read += static_cast<std::size_t>(n);
        if (read >= readBurst) return true; // the rest once others have had their turn
    }
    endStream(errorStream);
    return false;
}

void ChildProcess::deliver(bool errorStream, std::string_view chunk) {
    auto& handler = errorStream ? handlers_.onError : handlers_.onOutput;
    // A failing handler must not stop the reading, or the exit would never be reported.
    try {
        if (handler) handler(chunk);
    } catch (const std::exception& e) {
        log(std::string("child output handling failed: ") + e.what());
    }
}

void ChildProcess::endStream(bool errorStream) {
    if (std::exchange(errorStream ? errorEnded_ : outputEnded_, true)) return;
    boost::system::error_code ignored;
    (errorStream ? error_ : output_).close(ignored);
    deliver(errorStream, {});
    outputEnded();
}

bool ChildProcess::write(std::string bytes) {
    if (closeRequested_ || !input_.is_open() || pendingBytes_ > inputBacklog) return false;
    if (bytes.empty()) return true;
    pendingBytes_ += bytes.size();
    pending_.push_back(std::move(bytes));
    if (!writing_) writeNext();
    return true;
}

void ChildProcess::writeNext() {
    if (pending_.empty() || !input_.is_open()) {
        writing_ = false;
        pending_.clear();
        pendingBytes_ = 0;
        if (closeRequested_) closeInputNow();
        return;
    }
    writing_ = true;
    asio::async_write(
        input_, asio::buffer(pending_.front()),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
            if (ec) {
                // The child has closed its input or gone: nobody will read more.
                self->pending_.clear();
                self->pendingBytes_ = 0;
                self->closeInputNow();
            } else if (!self->pending_.empty()) {
                self->pendingBytes_ -= self->pending_.front().size();
                self->pending_.pop_front();
            }
            self->writeNext();
        });
}

void ChildProcess::closeInput() {
    closeRequested_ = true;
    if (!writing_) closeInputNow();
}

void ChildProcess::closeInputNow() {
    boost::system::error_code ignored;
    if (input_.is_open()) input_.close(ignored);
}

bool ChildProcess::signal(int number) {
    if (reaped_) return false;
    return ::kill(pid_, number) == 0;
}

bool ChildProcess::signalGroup(int number) {
    if (reaped_) return false;
    return ::kill(ownProcessGroup_ ? -pid_ : pid_, number) == 0;
}

bool ChildProcess::hasEnded() const {
    // The zombie, if any, stays for the reaper.
    return ended_ || reaped_ || endedStatus(pid_).has_value();
}

void ChildProcess::signalAfter(std::chrono::steady_clock::duration delay, int number, bool group) {
    if (ended_ || reaped_) return;
    auto& timer = signalTimers_.emplace_back(executor_);
    timer.expires_after(delay);
    timer.async_wait([weak = weak_from_this(), number, group](const boost::system::error_code& ec) {
        if (ec) return;
        if (auto self = weak.lock()) group ? self->signalGroup(number) : self->signal(number);
    });
}

void ChildProcess::endGroupOnExit(std::chrono::steady_clock::duration killAfter) {
    if (ownProcessGroup_ && !ended_) groupKillAfter_ = killAfter;
}

bool ChildProcess::ended(int status) {
    if (ended_) return groupKillAfter_.has_value();
    ended_ = true;
    status_ = status;
    for (auto& timer : signalTimers_)
        timer.cancel();
    if (status < 0) groupKillAfter_.reset(); // reaped elsewhere: its group's id is not ours
    // Its zombie keeps the group's id reserved until it is reaped: only its group is reached.
    if (groupKillAfter_) {
        signalGroup(SIGTERM);
        groupKill_.expires_after(*groupKillAfter_);
        groupKill_.async_wait([self = shared_from_this()](const boost::system::error_code&) {
            if (self->reaped_) return;
            self->signalGroup(SIGKILL);
            ChildReaper::of(self->executor_).reap(self);
        });
    }
    reportExitIfDue();
    return groupKillAfter_.has_value();
}

void ChildProcess::reaped() {
    if (std::exchange(reaped_, true)) return;
    groupKill_.cancel();
    reportExitIfDue();
}

void ChildProcess::outputEnded() {
    --openOutputs_;
    reportExitIfDue();
}

void ChildProcess::reportExitIfDue() {
    if (exitReported_ || !ended_) return;
    if (openOutputs_ == 0) return reportExit();
    // Output still open after the exit: a descendant holds it. Whatever the child wrote
    // is already in the pipe and is read meanwhile; don't wait for the descendant.
    if (graceStarted_) return;
    graceStarted_ = true;
    grace_.expires_after(outputGrace);
    grace_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
        if (ec) return;
        if (auto self = weak.lock(); self && !self->exitReported_) self->reportExit();
    });
}

void ChildProcess::reportExit() {
    exitReported_ = true;
    grace_.cancel();
    // A write in flight still owns the front of `pending_`; closing fails it, and the
    // write chain then drops the rest.
    closeInputNow();
    // A descendant still holding the outputs would hold our descriptors for as long as
    // it lives; what it writes now belongs to no one.
    boost::system::error_code ignored;
    output_.close(ignored);
    error_.close(ignored);
    auto onExit = std::move(handlers_.onExit);
    handlers_.onExit = nullptr;
    try {
        if (onExit) onExit(status_);
    } catch (const std::exception& e) {
        log(std::string("child exit handling failed: ") + e.what());
    }
}

} // namespace pavix
