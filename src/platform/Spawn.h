#pragma once

#include "util/Result.h"

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace pavix {

/// One open descriptor, closed when this goes away.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd)
        : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept
        : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor read;
    Descriptor write;
};

/// A pipe whose ends are close-on-exec and above the standard three (so that placing one
/// as a child's standard descriptor never overwrites another).
Result<Pipe> makePipe();

/// What to launch, and what the child gets of ours: for spawnProcess, and for
/// ChildProcess::start, which gives the child its own pipes as its standard three.
struct LaunchPlan {
    /// For `standard`: the child shares ours.
    static constexpr int inherit = -1;
    /// For `standard`: the null device, opened for reading and writing.
    static constexpr int nullDevice = -2;

    std::filesystem::path program;
    std::vector<std::string> arguments; ///< without the program itself
    /// A name without a slash is looked up on PATH, as execvp does.
    bool searchPath = false;
    /// The child's whole environment; nothing: ours.
    std::optional<std::map<std::string, std::string>> environment;
    std::filesystem::path folder; ///< where it starts; empty: where we are
    /// Starts it as the leader of a process group of its own, so that what it starts can be
    /// signalled with it (kill(-pid)), and a terminal's signals to our group miss it.
    bool ownProcessGroup = false;
    /// Standard input, output and error: a descriptor of ours above 2 (a makePipe end),
    /// `inherit` or `nullDevice`.
    std::array<int, 3> standard{inherit, inherit, inherit};
};

/// Starts a child process. It inherits no descriptor but its standard three, whatever
/// ours are marked; it starts with no signal blocked and every signal's default action.
/// A program or folder that is missing or unusable is a readable Error naming it.
Result<pid_t> spawnProcess(const LaunchPlan& plan);

/// A wait status as one number: the exit code, 128 + the signal that ended the process,
/// or -1 for anything else.
int exitStatus(int waitStatus);

/// Whether the child `pid` has ended, without reaping it (its id stays taken): its
/// exitStatus then, or -1 when it cannot be waited for; nothing while it runs.
std::optional<int> endedStatus(pid_t pid);

/// Blocks until `pid` has ended and reaps it: its exitStatus, or -1 if it cannot be waited for.
int waitForExit(pid_t pid);

/// The platform's part of spawnProcess (Spawn_linux.cpp, Spawn_mac.cpp): makes `ends`
/// close-on-exec pipe ends; adds what keeps every descriptor but the standard three out
/// of the child (`inherited`: those of them the child shares with us), returning the
/// spawn flags that takes.
bool openCloseOnExecPipe(int (&ends)[2]);
short closeOthersInChild(posix_spawn_file_actions_t& actions, const std::vector<int>& inherited);

} // namespace pavix
