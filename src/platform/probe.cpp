#include "platform/probe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace pavix {

namespace {

using Clock = std::chrono::steady_clock;

class Descriptor {
public:
    explicit Descriptor(int fd = -1)
        : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Reaps `pid` if it ends before `deadline`; whether it did.
bool reapBy(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid || (got < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::optional<std::string> captureOutput(const std::filesystem::path& program,
                                         const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    Descriptor readEnd(ends[0]), writeEnd(ends[1]);
    Descriptor null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (null.get() < 0) return std::nullopt;

    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, null.get(), STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The service ignores SIGPIPE; the probe should not inherit that.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef __APPLE__
    // Only the three standard descriptors cross into the child.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
    posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    posix_spawnattr_setflags(&attributes, flags);

    pid_t pid = -1;
    int failed = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    writeEnd.reset();
    null.reset();
    if (failed != 0) return std::nullopt;

    std::string output;
    for (;;) {
        pollfd ready{readEnd.get(), POLLIN, 0};
        int polled = ::poll(&ready, 1, millisecondsUntil(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) {
            killAndReap(pid);
            return std::nullopt;
        }
        char chunk[4096];
        ssize_t got = ::read(readEnd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        output.append(chunk, static_cast<std::size_t>(got));
    }
    if (!reapBy(pid, deadline)) {
        killAndReap(pid);
        return std::nullopt;
    }
    return output;
}

} // namespace pavix
