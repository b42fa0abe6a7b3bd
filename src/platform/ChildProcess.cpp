#include "platform/ChildProcess.h"

#include "Log.h"
#include "platform/ChildReaper.h"
#include "util/Files.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pavix {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

void closeDescriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void closePipe(Pipe& pipe) {
    closeDescriptor(pipe.read);
    closeDescriptor(pipe.write);
}

// Moves a descriptor above the standard three: a service started with one of them
// closed would otherwise hand out 0, 1 or 2, and the child's dup2 would clobber it.
bool raiseAboveStandard(int& fd) {
    if (fd > 2) return true;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    ::close(fd);
    fd = moved;
    return true;
}

Status makePipe(Pipe& pipe) {
    int fds[2];
#if defined(__APPLE__)
    if (::pipe(fds) != 0)
        return Error{std::string("couldn't make a pipe: ") + std::strerror(errno)};
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETNOSIGPIPE, 1);
#else
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return Error{std::string("couldn't make a pipe: ") + std::strerror(errno)};
#endif
    pipe.read = fds[0];
    pipe.write = fds[1];
    if (!raiseAboveStandard(pipe.read) || !raiseAboveStandard(pipe.write)) {
        int code = errno;
        closePipe(pipe);
        return Error{std::string("couldn't make a pipe: ") + std::strerror(code)};
    }
    return done();
}

// A child that stops reading its input must not end the service with SIGPIPE.
void ignoreBrokenPipes() {
    struct sigaction action {};
    if (::sigaction(SIGPIPE, nullptr, &action) == 0 && action.sa_handler == SIG_DFL) {
        action.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &action, nullptr);
    }
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

int decodeWaitStatus(int status) {
    if (status < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// posix_spawn reports a failed chdir and a failed exec alike; name the culprit.
Error launchError(const ChildSpec& spec, int code) {
    std::error_code ec;
    if (!spec.folder.empty() && !std::filesystem::is_directory(spec.folder, ec))
        return systemError(spec.folder, code == ENOENT || code == ENOTDIR ? code : ENOTDIR);
    return systemError(spec.program, code);
}

} // namespace

Result<std::shared_ptr<ChildProcess>> ChildProcess::spawn(asio::any_io_executor executor,
                                                          ChildSpec spec, ChildHandlers handlers) {
    ignoreBrokenPipes();
    auto& reaper = ChildReaper::of(executor);
    reaper.prepare(executor);

    Pipe input, output, error;
    for (Pipe* pipe : {&input, &output, &error}) {
        if (auto made = makePipe(*pipe); !made) {
            closePipe(input);
            closePipe(output);
            closePipe(error);
            return made.error();
        }
    }

    std::vector<std::string> argText{spec.program.string()};
    argText.insert(argText.end(), spec.arguments.begin(), spec.arguments.end());
    std::vector<std::string> envText;
    for (const auto& [name, value] : spec.environment)
        envText.push_back(name + "=" + value);
    auto argv = pointers(argText);
    auto envp = pointers(envText);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.read, 0);
    posix_spawn_file_actions_adddup2(&actions, output.write, 1);
    posix_spawn_file_actions_adddup2(&actions, error.write, 2);
    if (!spec.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, spec.folder.c_str());
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Close-on-exec already covers ours; this also covers descriptors made elsewhere.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&attributes, flags);
    sigset_t noSignals, defaults;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    // Dispositions we set to SIG_IGN would survive exec; give the child the defaults.
    sigemptyset(&defaults);
    for (int number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&defaults, number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    pid_t pid = -1;
    int rc =
        ::posix_spawn(&pid, argText[0].c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeDescriptor(input.read);
    closeDescriptor(output.write);
    closeDescriptor(error.write);
    if (rc != 0) {
        closePipe(input);
        closePipe(output);
        closePipe(error);
        return launchError(spec, rc);
    }

    auto child = std::make_shared<ChildProcess>(Token{}, executor, pid, input.write, output.read,
                                                error.read, std::move(handlers));
    pavix::spawn(executor, readLoop(child, false), "reading a child's output");
    pavix::spawn(executor, readLoop(child, true), "reading a child's errors");
    reaper.watch(child);
    return child;
}

ChildProcess::ChildProcess(Token, asio::any_io_executor executor, pid_t pid, int input, int output,
                           int error, ChildHandlers handlers)
    : executor_(executor)
    , pid_(pid)
    , input_(executor, input)
    , output_(executor, output)
    , error_(executor, error)
    , handlers_(std::move(handlers))
    , grace_(executor) {}

ChildProcess::~ChildProcess() = default;

asio::awaitable<void> ChildProcess::readLoop(std::shared_ptr<ChildProcess> self, bool errorStream) {
    auto& stream = errorStream ? self->error_ : self->output_;
    std::array<char, 65536> chunk;
    for (;;) {
        auto [ec, n] = co_await stream.async_read_some(asio::buffer(chunk),
                                                       asio::as_tuple(asio::use_awaitable));
        if (n > 0) {
            auto& handler = errorStream ? self->handlers_.onError : self->handlers_.onOutput;
            // A failing handler must not stop the reading, or the exit would never be reported.
            try {
                if (handler) handler(std::string_view(chunk.data(), n));
            } catch (const std::exception& e) {
                log(std::string("child output handling failed: ") + e.what());
            }
        }
        if (ec) break;
    }
    boost::system::error_code ignored;
    stream.close(ignored);
    auto& handler = errorStream ? self->handlers_.onError : self->handlers_.onOutput;
    try {
        if (handler) handler({});
    } catch (const std::exception& e) {
        log(std::string("child output handling failed: ") + e.what());
    }
    self->outputEnded();
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

void ChildProcess::signalAfter(std::chrono::steady_clock::duration delay, int number) {
    if (reaped_) return;
    auto& timer = signalTimers_.emplace_back(executor_);
    timer.expires_after(delay);
    timer.async_wait([weak = weak_from_this(), number](const boost::system::error_code& ec) {
        if (ec) return;
        if (auto self = weak.lock()) self->signal(number);
    });
}

void ChildProcess::reaped(int waitStatus) {
    if (reaped_) return;
    reaped_ = true;
    status_ = decodeWaitStatus(waitStatus);
    for (auto& timer : signalTimers_)
        timer.cancel();
    reportExitIfDue();
}

void ChildProcess::outputEnded() {
    --openOutputs_;
    reportExitIfDue();
}

void ChildProcess::reportExitIfDue() {
    if (exitReported_ || !reaped_) return;
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
