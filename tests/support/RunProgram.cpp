#include "RunProgram.h"

#include "TempHome.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace pavix::test {

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProgramOutput runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const EnvironmentChanges& environment, const std::string& input) {
    // Files rather than pipes: nothing to pump, and no deadlock however much it writes.
    TempFolder files;
    writeText(files.path() / "in", input);
    int in = ::open((files.path() / "in").c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open((files.path() / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    int err = ::open((files.path() / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_t pid = spawnProcess(argv, environment, in, out, err);
    for (int fd : {in, out, err})
        ::close(fd);
    if (pid < 0) throw std::runtime_error("couldn't start " + program);
    ProgramOutput result;
    result.status = reap(pid);
    result.out = readText(files.path() / "out");
    result.err = readText(files.path() / "err");
    return result;
}

ProgramOutput runBridge(const std::vector<std::string>& arguments,
                        const EnvironmentChanges& environment, const std::string& input) {
    return runProgram(PAVIX_BRIDGE_PATH, arguments, environment, input);
}

} // namespace pavix::test
