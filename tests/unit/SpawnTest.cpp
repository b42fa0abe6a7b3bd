#include "platform/Spawn.h"
#include "BridgeServer.h"
#include "platform/RunTool.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pavix;
using namespace std::chrono_literals;

TEST(Spawn, ChildGetsNoDescriptorOfOurs) {
    Descriptor careless(::open("/dev/null", O_RDONLY)); // inheritable, as a library may leave one
    auto highest = std::to_string(careless.get() + 20);
    auto inherited = captureOutput(
        "/bin/sh",
        {"-c", "for n in $(seq 3 " + highest + "); do { true >&$n; } 2>/dev/null && echo $n; done"},
        10s);
    EXPECT_EQ(inherited, "");
}

TEST(Spawn, ChildStartsWithEverySignalsDefaultActionAndNoneBlocked) {
    auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
    auto oldInterrupt = std::signal(SIGINT, SIG_IGN);
    sigset_t blocked, oldMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);
    for (int number : {SIGPIPE, SIGINT, SIGUSR1})
        EXPECT_EQ(runTool("sh", {"-c", "kill -" + std::to_string(number) + " $$; exit 0"}),
                  128 + number);
    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    std::signal(SIGPIPE, oldPipe);
    std::signal(SIGINT, oldInterrupt);
}

TEST(Spawn, VersionProbeKillsAProgramThatHangsAndWhatItStarted) {
    test::TempHome home;
    const auto helper = (home.path() / "helper").string();
    const std::string script = "sleep 60 & echo $! >" + helper + "; exec sleep 60";
    EXPECT_EQ(captureOutput("/bin/sh", {"-c", script}, 1s), std::nullopt);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "the probe's child is killed and reaped";
    const pid_t started = std::stoi(test::readText(helper));
    EXPECT_TRUE(test::eventually([&] { return test::ended(started); })) << "and what it started";
}
