#include "System.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace pavix::bench {

std::int64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

namespace {

// Children not yet reaped, for the signal handler: plain slots, read without locks.
constexpr int childSlots = 256;
volatile sig_atomic_t liveChildren[childSlots];

void remember(pid_t pid) {
    for (auto& slot : liveChildren)
        if (slot == 0) {
            slot = pid;
            return;
        }
}

void forget(pid_t pid) {
    for (auto& slot : liveChildren)
        if (slot == pid) slot = 0;
}

void killChildrenAndExit(int signal) {
    for (auto& slot : liveChildren)
        if (slot > 0) ::kill(slot, SIGKILL);
    _exit(128 + signal);
}

} // namespace

void killChildrenOnSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::signal(signal, killChildrenAndExit);
}

pid_t spawnProcess(const SpawnOptions& options) {
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int sources[3] = {options.stdinFd, options.stdoutFd, options.stderrFd};
    for (int target = 0; target < 3; ++target)
        posix_spawn_file_actions_adddup2(&actions, sources[target] >= 0 ? sources[target] : null,
                                         target);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::vector<char*> argv, envp;
    for (const auto& argument : options.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const auto& variable : options.environment)
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(null);
    if (error != 0) {
        std::fprintf(stderr, "couldn't start %s: %s\n", argv[0], std::strerror(error));
        return -1;
    }
    remember(pid);
    return pid;
}

bool hasExited(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != pid) return false;
    forget(pid);
    return true;
}

double reap(pid_t pid, std::chrono::milliseconds limit) {
    if (pid <= 0) return 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    rusage usage{};
    for (;;) {
        pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    forget(pid);
    auto seconds = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; fields are counted from after its closing bracket.
    auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index)
        if (index == 14 || index == 15) ticks += std::strtod(field.c_str(), nullptr);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

std::int64_t statusKiB(pid_t pid, const std::string& field) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::strtoll(line.c_str() + field.size() + 1, nullptr, 10);
    return 0;
}

std::int64_t contextSwitches(pid_t pid) {
    std::int64_t total = 0;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream file(task.path() / "status");
        for (std::string line; std::getline(file, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::strtoll(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
    return total;
}

std::vector<std::string> environmentWithout(const std::string& dropPrefix) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry)
        if (std::string_view(*entry).rfind(dropPrefix, 0) != 0) variables.emplace_back(*entry);
    return variables;
}

} // namespace pavix::bench
