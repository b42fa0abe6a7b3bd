#include "platform/ChildProcess.h"

#include "Loop.h"
#include "Scripts.h"
#include "TempHome.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

using namespace pavix;
using namespace pavix::test;
using namespace std::chrono_literals;

namespace {

// What a child reported; `outputAtExit` is the output seen when the exit arrived.
struct Seen {
    std::string output;
    std::string errors;
    std::optional<int> exit;
    std::string outputAtExit;
    std::string errorsAtExit;
};

class ChildProcessTest : public ::testing::Test {
protected:
    Result<std::shared_ptr<ChildProcess>> launch(const std::string& body,
                                                 std::shared_ptr<Seen> seen,
                                                 std::map<std::string, std::string> env = {}) {
        auto script = writeScript(folder.path(), "child" + std::to_string(++scripts) + ".sh", body);
        env.emplace("PATH", "/usr/bin:/bin");
        ChildHandlers handlers{[seen](std::string_view chunk) { seen->output += chunk; },
                               [seen](std::string_view chunk) { seen->errors += chunk; },
                               [seen](int status) {
                                   seen->exit = status;
                                   seen->outputAtExit = seen->output;
                                   seen->errorsAtExit = seen->errors;
                               }};
        return ChildProcess::spawn(loop.get_executor(), {script, {}, env, folder.path()},
                                   std::move(handlers));
    }
    bool waitForExit(const Seen& seen) {
        return runUntil(loop, [&] { return seen.exit.has_value(); });
    }

    boost::asio::io_context loop;
    TempFolder folder;
    int scripts = 0;
};

} // namespace

TEST_F(ChildProcessTest, ReportsAllOutputInOrderBeforeTheExitStatus) {
    auto seen = std::make_shared<Seen>();
    auto child = launch("seq 1 50000; echo oops >&2; printf 'no newline'; exit 3", seen);
    ASSERT_TRUE(child.ok()) << child.error().description;
    ASSERT_TRUE(waitForExit(*seen));
    std::string expected;
    for (int i = 1; i <= 50000; ++i)
        expected += std::to_string(i) + "\n";
    expected += "no newline";
    EXPECT_EQ(seen->outputAtExit, expected);
    EXPECT_EQ(seen->errorsAtExit, "oops\n");
    EXPECT_EQ(*seen->exit, 3);
    EXPECT_FALSE((*child)->running());
    EXPECT_FALSE((*child)->signal(SIGTERM)) << "a reaped child is never signalled";
}

TEST_F(ChildProcessTest, ChildInheritsOnlyTheStandardDescriptors) {
    // A descriptor deliberately left inheritable, as a careless library might.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GT(leaked, 2);
    auto seen = std::make_shared<Seen>();
    auto child = launch("for n in $(seq 0 " + std::to_string(leaked + 20) +
                            "); do if { true >&$n; } 2>/dev/null || { true <&$n; } 2>/dev/null; "
                            "then printf '%s ' $n; fi; done",
                        seen);
    ASSERT_TRUE(child.ok()) << child.error().description;
    ASSERT_TRUE(waitForExit(*seen));
    ::close(leaked);
    EXPECT_EQ(seen->output, "0 1 2 ");
}

TEST_F(ChildProcessTest, LaunchFailuresAreReadableAndLeaveNothingBehind) {
    // The first launch brings up the loop's reactor and signal pipe; count after it.
    (void)ChildProcess::spawn(loop.get_executor(), {folder.path() / "warm-up", {}, {}, {}}, {});
    auto before = openDescriptorCount();
    auto notExecutable = folder.path() / "plain.txt";
    writeText(notExecutable, "echo hi\n", 0644);
    struct Case {
        std::filesystem::path program, folder;
        std::string mentions, reason;
    };
    for (const auto& c :
         {Case{folder.path() / "missing", folder.path(), "missing", "No such file or directory"},
          Case{notExecutable, folder.path(), "plain.txt", "Permission denied"},
          Case{"/bin/sh", folder.path() / "gone", "gone", "No such file or directory"}}) {
        auto child = ChildProcess::spawn(loop.get_executor(), {c.program, {}, {}, c.folder}, {});
        ASSERT_FALSE(child.ok()) << c.mentions;
        EXPECT_NE(child.error().description.find(c.mentions), std::string::npos)
            << child.error().description;
        EXPECT_NE(child.error().description.find(c.reason), std::string::npos)
            << child.error().description;
    }
    EXPECT_EQ(openDescriptorCount(), before);
    runFor(loop, 50ms);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "no child of ours may be left";
}

TEST_F(ChildProcessTest, WritesArriveInOrderAndInputClosesAfterTheyDrain) {
    auto seen = std::make_shared<Seen>();
    auto child = launch("exec cat", seen);
    ASSERT_TRUE(child.ok()) << child.error().description;
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(i % 97, 'x') + "\n";
        expected += line;
        (*child)->write(line);
    }
    (*child)->closeInput();
    (*child)->write("dropped after close\n");
    ASSERT_TRUE(waitForExit(*seen));
    EXPECT_EQ(seen->output, expected);
    EXPECT_EQ(*seen->exit, 0);
}
