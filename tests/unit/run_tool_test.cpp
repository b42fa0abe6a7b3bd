#include "platform/runTool.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

using namespace pavix;

TEST(RunTool, ReportsHowTheToolEnded) {
    EXPECT_EQ(runTool("sh", {"-c", R"([ "$1" = "a b" ] && [ "$2" = "" ])", "sh", "a b", ""}), 0);
    EXPECT_EQ(runTool("/bin/sh", {"-c", "exit 7"}), 7);
    EXPECT_EQ(runTool("sh", {"-c", "kill -KILL $$"}), 128 + SIGKILL);
    EXPECT_EQ(runTool("pavix-no-such-tool", {}), -1);
    EXPECT_EQ(runTool("/nonexistent/tool", {}), -1);
}

TEST(RunTool, ToolGetsOnlyTheNullDeviceAndNoDescriptorOfOurs) {
    if (!std::filesystem::exists("/proc/self/fd")) GTEST_SKIP() << "needs /proc";
    int leaky = ::open("/dev/null", O_RDONLY); // deliberately not close-on-exec
    ASSERT_GE(leaky, 3);
    std::string script = "[ \"$(readlink /proc/$$/fd/1)\" = /dev/null ] && "
                         "[ \"$(readlink /proc/$$/fd/2)\" = /dev/null ] && "
                         "[ ! -e /proc/$$/fd/" +
                         std::to_string(leaky) + " ]";
    EXPECT_EQ(runTool("sh", {"-c", script}), 0);
    ::close(leaky);
}

TEST(RunTool, ToolDoesNotInheritOurIgnoredSIGPIPE) {
    auto previous = std::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(runTool("sh", {"-c", "kill -PIPE $$; exit 0"}), 128 + SIGPIPE);
    std::signal(SIGPIPE, previous);
}
