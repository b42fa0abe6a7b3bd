#include "platform/RunTool.h"

#include "platform/Spawn.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pavix {

namespace {

using Clock = std::chrono::steady_clock;

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

// Everything `fd` gives until its end; nothing if that has not come by `deadline`.
std::optional<std::string> readUntilEnd(int fd, Clock::time_point deadline) {
    std::string output;
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, millisecondsUntil(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return std::nullopt;
        char chunk[4096];
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return output;
        output.append(chunk, static_cast<std::size_t>(got));
    }
}

} // namespace

int runTool(const std::string& program, const std::vector<std::string>& arguments) {
    LaunchPlan plan;
    plan.program = program;
    plan.arguments = arguments;
    plan.searchPath = true;
    plan.standard = {LaunchPlan::nullDevice, LaunchPlan::nullDevice, LaunchPlan::nullDevice};
    auto pid = spawnProcess(plan);
    return pid ? waitForExit(*pid) : -1;
}

std::optional<std::string> captureOutput(const std::filesystem::path& program,
                                         const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    auto pipe = makePipe();
    if (!pipe) return std::nullopt;
    LaunchPlan plan;
    plan.program = program;
    plan.arguments = arguments;
    plan.standard = {LaunchPlan::nullDevice, pipe->write.get(), LaunchPlan::nullDevice};
    plan.ownProcessGroup = true;
    auto pid = spawnProcess(plan);
    pipe->write.reset();
    if (!pid) return std::nullopt;
    auto output = readUntilEnd(pipe->read.get(), deadline);
    if (!output || !reapBy(*pid, deadline)) {
        // With what it started: a helper holding the output open ends too. Not reaped yet,
        // it keeps its group's id ours.
        ::kill(-*pid, SIGKILL);
        waitForExit(*pid);
        return std::nullopt;
    }
    return output;
}

} // namespace pavix
