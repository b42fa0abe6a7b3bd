#include "platform/Spawn.h"
#include "platform/ChildProcess.h"
#include "platform/RunTool.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pavix;
using namespace std::chrono_literals;

namespace {

int openDescriptorCount() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += ::fcntl(fd, F_GETFD) >= 0;
    return count;
}

} // namespace

TEST(Spawn, ChildGetsNoDescriptorOfOurs) {
    auto pipe = makePipe();
    ASSERT_TRUE(pipe.ok());
    for (int fd : {pipe->read.get(), pipe->write.get()}) {
        EXPECT_GT(fd, 2);
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC)
            << "each end is close-on-exec from the start";
    }
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

TEST(Spawn, ReportsHowAChildEndedOrWhyItDidNotStart) {
    EXPECT_EQ(runTool("sh", {"-c", R"([ "$1" = "a b" ] && exit 7)", "sh", "a b"}), 7);
    EXPECT_EQ(runTool("pavix-no-such-tool", {}), -1);
    int before = openDescriptorCount();
    struct Case {
        std::filesystem::path program, folder;
        std::string error;
    };
    for (const auto& c : {Case{"/nonexistent/tool", {}, "/nonexistent/tool: No such file"},
                          Case{"/etc/passwd", {}, "/etc/passwd: Permission denied"},
                          Case{"/bin/sh", "/nonexistent", "/nonexistent: No such file"}}) {
        SpawnSpec spec;
        spec.program = c.program;
        spec.folder = c.folder;
        auto pid = spawnProcess(spec);
        ASSERT_FALSE(pid.ok()) << c.error;
        EXPECT_EQ(pid.error().description.rfind(c.error, 0), 0u) << pid.error().description;
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(Spawn, VersionProbeTakesTheOutputAndKillsAProgramThatHangs) {
    EXPECT_EQ(captureOutput("/bin/sh", {"-c", "echo 2.1.0 '(Claude Code)'"}, 10s),
              "2.1.0 (Claude Code)\n");
    EXPECT_EQ(captureOutput("/bin/sh", {"-c", "echo 2.1.0; exec sleep 60"}, 200ms), std::nullopt);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "the probe's child is killed and reaped";
}

TEST(Spawn, ChildProcessReportsAllItsOutputInOrderBeforeItsExit) {
    boost::asio::io_context loop;
    std::string output, errors, outputAtExit;
    std::optional<int> status;
    ChildHandlers handlers{[&](std::string_view chunk) { output += chunk; },
                           [&](std::string_view chunk) { errors += chunk; },
                           [&](int code) {
                               status = code;
                               outputAtExit = output;
                           }};
    auto child = ChildProcess::spawn(
        loop.get_executor(),
        {"/bin/sh", {"-c", "cat; echo oops >&2; exit 3"}, {{"PATH", "/usr/bin:/bin"}}, {}},
        handlers);
    ASSERT_TRUE(child.ok()) << child.error().description;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(i % 97, 'x') + "\n";
        expected += line;
        EXPECT_TRUE((*child)->write(line));
    }
    (*child)->closeInput();
    EXPECT_FALSE((*child)->write("after the close\n"));
    while (!status && loop.run_one_for(10s)) {
    }
    EXPECT_EQ(outputAtExit, expected);
    EXPECT_EQ(errors, "oops\n");
    EXPECT_EQ(status, 3);
}
