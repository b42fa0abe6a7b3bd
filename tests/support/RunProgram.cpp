#include "RunProgram.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pavix::test {

ChildEnvironment::ChildEnvironment(const EnvironmentChanges& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        if (auto eq = text.find('='); eq != std::string::npos)
            variables[text.substr(0, eq)] = text.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            variables[name] = *value;
        else
            variables.erase(name);
    }
    for (const auto& [name, value] : variables)
        entries_.push_back(name + "=" + value);
    for (auto& entry : entries_)
        pointers_.push_back(entry.data());
    pointers_.push_back(nullptr);
}

ProgramOutput runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const EnvironmentChanges& environment, const std::string& input) {
    ::signal(SIGPIPE, SIG_IGN); // a child that exits early must not take the test with it
    ChildEnvironment env(environment);
    std::vector<std::string> argText{program};
    argText.insert(argText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argText)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.block());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) throw std::runtime_error("spawn failed: " + std::string(std::strerror(rc)));

    ProgramOutput result;
    std::string_view pending = input;
    if (pending.empty()) ::close(in[1]);
    int inFd = pending.empty() ? -1 : in[1];
    for (bool outOpen = true, errOpen = true; outOpen || errOpen;) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (!outOpen) fds[0].fd = -1;
        if (!errOpen) fds[1].fd = -1;
        if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
        char chunk[65536];
        auto drain = [&](pollfd& fd, std::string& into, bool& open) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t n = ::read(fd.fd, chunk, sizeof chunk);
            if (n > 0)
                into.append(chunk, static_cast<size_t>(n));
            else
                open = false;
        };
        drain(fds[0], result.out, outOpen);
        drain(fds[1], result.err, errOpen);
        if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = ::write(inFd, pending.data(), pending.size());
            if (n > 0) pending.remove_prefix(static_cast<size_t>(n));
            if (n <= 0 || pending.empty()) {
                ::close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0) ::close(inFd);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ProgramOutput runBridge(const std::vector<std::string>& arguments,
                        const EnvironmentChanges& environment, const std::string& input) {
    return runProgram(PAVIX_BRIDGE_PATH, arguments, environment, input);
}

} // namespace pavix::test
