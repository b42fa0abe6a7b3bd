#include "McpClient.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fake {

std::optional<std::string> McpClient::start(const nlohmann::json& server) {
    if (!server.is_object() || !server.contains("command") || !server["command"].is_string())
        return "no command for the server";
    std::vector<std::string> words{server["command"].get<std::string>()};
    if (server.contains("args") && server["args"].is_array())
        for (const auto& argument : server["args"])
            words.push_back(argument.is_string() ? argument.get<std::string>() : argument.dump());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int toServer[2], fromServer[2];
    if (::pipe2(toServer, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    if (::pipe2(fromServer, O_CLOEXEC) != 0) {
        ::close(toServer[0]);
        ::close(toServer[1]);
        return std::string("pipe: ") + std::strerror(errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toServer[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromServer[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigfillset(&defaults);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int failed = ::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(toServer[0]);
    ::close(fromServer[1]);
    if (failed != 0) {
        pid_ = -1;
        ::close(toServer[1]);
        ::close(fromServer[0]);
        return words[0] + ": " + std::strerror(failed);
    }
    in_ = toServer[1];
    out_ = fromServer[0];
    return std::nullopt;
}

void McpClient::send(const nlohmann::json& message) {
    std::string line =
        message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::size_t at = 0;
    while (in_ >= 0 && at < line.size()) {
        ssize_t n = ::write(in_, line.data() + at, line.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

bool McpClient::readSome() {
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

std::optional<std::string> McpClient::takeLine() {
    auto end = buffer_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
}

std::optional<std::string> McpClient::stop() {
    if (pid_ <= 0) return std::nullopt;
    ::kill(pid_, SIGINT);
    int status = 0;
    bool reaped = false;
    for (int waited = 0; waited < 500 && !reaped; ++waited) {
        pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_ || (got < 0 && errno != EINTR)) {
            reaped = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    ::close(in_);
    ::close(out_);
    in_ = out_ = -1;
    eof_ = true;
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
}

} // namespace fake
