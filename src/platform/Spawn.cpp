#include "platform/Spawn.h"

#include "util/Files.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pavix {

namespace fs = std::filesystem;

namespace {

// Moves a descriptor above the standard three: a service started with one of them
// closed hands out 0, 1 or 2, and placing another standard descriptor would clobber it.
bool raiseAboveStandard(Descriptor& fd) {
    if (fd.get() > 2) return true;
    int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// The file actions and attributes of one launch.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// The file actions that give the child its standard descriptors; those it shares with us.
std::vector<int> placeStandardDescriptors(const LaunchPlan& plan,
                                          posix_spawn_file_actions_t& actions) {
    std::vector<int> inherited;
    for (int target = 0; target < 3; ++target) {
        int source = plan.standard[static_cast<std::size_t>(target)];
        if (source == LaunchPlan::inherit)
            inherited.push_back(target);
        else if (source == LaunchPlan::nullDevice)
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, source, target);
    }
    return inherited;
}

// A signal's SIG_IGN and the blocked mask survive exec: the service ignores SIGPIPE, and a
// child that inherited that would not end when its reader goes.
short resetSignals(posix_spawnattr_t& attributes) {
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    return POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
}

Error pipeError(int code) {
    return Error{std::string("couldn't make a pipe: ") + std::strerror(code)};
}

// posix_spawn reports a failed chdir and a failed exec alike; name the culprit.
Error launchError(const LaunchPlan& plan, int code) {
    std::error_code ec;
    if (!plan.folder.empty() && !fs::is_directory(plan.folder, ec))
        return systemError(plan.folder, code == ENOENT || code == ENOTDIR ? code : ENOTDIR);
    return systemError(plan.program, code);
}

} // namespace

void Descriptor::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Result<Pipe> makePipe() {
    int ends[2];
    if (!openCloseOnExecPipe(ends)) return pipeError(errno);
    Pipe pipe{Descriptor(ends[0]), Descriptor(ends[1])};
    if (!raiseAboveStandard(pipe.read) || !raiseAboveStandard(pipe.write)) return pipeError(errno);
    return pipe;
}

Result<pid_t> spawnProcess(const LaunchPlan& plan) {
    // A path is ours to resolve, not the child's after it has changed folder.
    const bool onPath = plan.searchPath && plan.program.string().find('/') == std::string::npos;
    std::error_code ec;
    fs::path program =
        onPath || plan.folder.empty() ? plan.program : fs::absolute(plan.program, ec);
    std::vector<std::string> argText{plan.program.string()};
    argText.insert(argText.end(), plan.arguments.begin(), plan.arguments.end());
    std::vector<std::string> envText;
    if (plan.environment)
        for (const auto& [name, value] : *plan.environment)
            envText.push_back(std::string(name).append(1, '=').append(value));
    auto argv = pointers(argText);
    auto envp = pointers(envText);

    SpawnSetup setup;
    auto inherited = placeStandardDescriptors(plan, setup.actions);
    if (!plan.folder.empty())
        posix_spawn_file_actions_addchdir_np(&setup.actions, plan.folder.c_str());
    auto flags = static_cast<short>(resetSignals(setup.attributes) |
                                    closeOthersInChild(setup.actions, inherited));
    if (plan.ownProcessGroup) {
        posix_spawnattr_setpgroup(&setup.attributes, 0); // its own pid becomes the group's id
        flags = static_cast<short>(flags | POSIX_SPAWN_SETPGROUP);
    }
    posix_spawnattr_setflags(&setup.attributes, flags);

    pid_t pid = -1;
    auto start = onPath ? ::posix_spawnp : ::posix_spawn;
    int failed = start(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                       plan.environment ? envp.data() : environ);
    if (failed != 0) return launchError(plan, failed);
    return pid;
}

int exitStatus(int waitStatus) {
    if (waitStatus < 0) return -1;
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

std::optional<int> endedStatus(pid_t pid) {
    siginfo_t info{};
    int result;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return -1;
    // Some systems report a stopped child here too: only an end counts.
    if (info.si_pid != pid) return std::nullopt;
    if (info.si_code == CLD_EXITED) return info.si_status;
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) return 128 + info.si_status;
    return std::nullopt;
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return exitStatus(status);
}

} // namespace pavix
