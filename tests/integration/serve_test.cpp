#include "LoopbackClient.h"
#include "RunProgram.h"
#include "TempHome.h"

#include "config/BridgeConfig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace pavix;
using namespace pavix::test;

namespace {

/// `pavix-bridge serve` running in the background; ended with SIGTERM on scope exit.
class ServeProcess {
public:
    ServeProcess() {
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        char* argv[] = {const_cast<char*>(PAVIX_BRIDGE_PATH), const_cast<char*>("serve"), nullptr};
        int rc = ::posix_spawn(&pid_, PAVIX_BRIDGE_PATH, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(err[1]);
        if (rc != 0) throw std::runtime_error("spawn failed");
        err_ = err[0];
    }
    ~ServeProcess() {
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
        ::close(err_);
    }

    /// Standard error so far, read until it holds `text` (or a guard passes).
    const std::string& logUntil(const std::string& text) {
        for (int rounds = 0; log_.find(text) == std::string::npos && rounds < 300; ++rounds) {
            pollfd ready{err_, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::read(err_, chunk, sizeof chunk);
            if (n <= 0) break;
            log_.append(chunk, static_cast<std::size_t>(n));
        }
        return log_;
    }

private:
    pid_t pid_ = -1;
    int err_ = -1;
    std::string log_;
};

} // namespace

TEST(Serve, ListensOnTheConfiguredPortAndAnswersNotFound) {
    TempHome home;
    BridgeConfig config;
    config.port = freeLoopbackPort();
    config.key = *BridgeConfig::randomKey();
    writeText(BridgeConfig::path(), config.encode(), 0600);

    ServeProcess serve;
    const auto& log = serve.logUntil("] listening\n");
    auto announced = log.find("] pavix-bridge on port " + std::to_string(config.port) + "\n");
    ASSERT_NE(announced, std::string::npos) << log;
    EXPECT_GT(log.find("] listening\n"), announced);

    LoopbackClient client(config.port);
    client.send("GET /anything HTTP/1.1\r\nAuthorization: Bearer " + config.key + "\r\n\r\n");
    EXPECT_EQ(client.receiveUntilClosed().bytes,
              "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
              "Connection: close\r\n\r\n{\"error\":\"not found\"}");

    // A second service cannot have the same port.
    auto second = runBridge({"serve"});
    EXPECT_EQ(second.status, 1);
    EXPECT_THAT(second.err, testing::ContainsRegex("\\] (couldn't start|listener failed): "));
    EXPECT_EQ(second.out, "");
}
