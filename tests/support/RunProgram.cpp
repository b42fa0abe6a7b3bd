#include "RunProgram.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
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
    ::signal(SIGPIPE, SIG_IGN); // a child that exits early must not take the test with it
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_t pid = spawnProcess(argv, environment, in[0], out[1], err[1]);
    for (int fd : {in[0], out[1], err[1]})
        ::close(fd);
    if (pid < 0) throw std::runtime_error("couldn't start " + program);

    // Input and output at once, so that neither side waits for the other for good.
    ProgramOutput result;
    std::string_view pending = input;
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    std::string* into[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (pending.empty() && fds[2].fd >= 0) fds[2].fd = (::close(in[1]), -1);
        if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char chunk[65536];
            ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0)
                into[i]->append(chunk, static_cast<std::size_t>(n));
            else
                fds[i].fd = (::close(fds[i].fd), -1);
        }
        if (fds[2].fd >= 0 && fds[2].revents) {
            ssize_t n = ::write(in[1], pending.data(), pending.size());
            pending = n > 0 ? pending.substr(static_cast<std::size_t>(n)) : std::string_view();
        }
    }
    if (fds[2].fd >= 0) ::close(in[1]);
    result.status = reap(pid);
    return result;
}

ProgramOutput runBridge(const std::vector<std::string>& arguments,
                        const EnvironmentChanges& environment, const std::string& input) {
    return runProgram(PAVIX_BRIDGE_PATH, arguments, environment, input);
}

} // namespace pavix::test
