#pragma once

#include <sys/types.h>

#include "TempHome.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pavix::bench {

using test::TempFolder;
using test::writeText;

/// CLOCK_MONOTONIC in nanoseconds: the clock the bench agent stamps its deltas with.
std::int64_t nowNs();

/// A child process. Descriptors given are duplicated onto 0, 1 and 2 in the child;
/// -1 means /dev/null. The child inherits nothing else (every other descriptor is closed).
struct SpawnOptions {
    std::vector<std::string> arguments; ///< arguments[0] is the program's path
    std::vector<std::string> environment;
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
};
/// The child's pid, or -1 (with a message on standard error) when it could not start.
pid_t spawnProcess(const SpawnOptions& options);

/// Makes SIGINT, SIGTERM and SIGHUP kill every child still running before the driver
/// ends, so an interrupted run leaves no service behind.
void killChildrenOnSignals();

/// Whether the child has ended (it is then reaped).
bool hasExited(pid_t pid);

/// Waits up to `limit` for `pid` to end; then SIGKILLs and reaps it. Returns the CPU
/// seconds (user + system) the child used, from its resource usage.
double reap(pid_t pid, std::chrono::milliseconds limit);

/// The process's user + system CPU seconds so far (all its threads, /proc/<pid>/stat).
double cpuSeconds(pid_t pid);
/// A "kB" line of /proc/<pid>/status (VmRSS, VmHWM) in kibibytes; 0 when missing.
std::int64_t statusKiB(pid_t pid, const std::string& field);
/// Voluntary plus involuntary context switches of every thread of the process.
std::int64_t contextSwitches(pid_t pid);

/// The environment of this process, minus variables whose names begin with `dropPrefix`.
std::vector<std::string> environmentWithout(const std::string& dropPrefix);

} // namespace pavix::bench
