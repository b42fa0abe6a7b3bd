#include "config/ClaudeLocator.h"
#include "config/VersionOrder.h"

#include "FakeAgent.h"
#include "ScopedEnv.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

using namespace pavix;
using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

const fs::path opt = "/opt/homebrew/bin/claude";
const fs::path usrLocal = "/usr/local/bin/claude";

// What is left when nothing under our control is found: the machine's own installs.
bool isSystemInstall(const std::optional<fs::path>& found) {
    return !found || *found == opt || *found == usrLocal;
}

void makeProgram(const fs::path& path, unsigned mode = 0755) {
    writeText(path, "#!/bin/sh\nexit 0\n", mode);
}

class Locator : public ::testing::Test {
protected:
    fs::path versions() const {
        return home.path() / "Library/Application Support/Claude/claude-code";
    }
    fs::path versionBinary(const std::string& name) const {
        return versions() / name / "claude.app/Contents/MacOS/claude";
    }

    TempHome home;
    ScopedEnv noOverride{"PAVIX_CLAUDE_PATH", std::nullopt};
};

} // namespace

TEST(VersionOrder, DigitRunsCompareByValueAndTheRestByCodePoint) {
    struct Case {
        const char *a, *b;
        int order;
    };
    for (const Case& c : {
             Case{"2.0.9", "2.0.10", -1},
             Case{"10.0.0", "9.9.9", 1},
             // Longer than any machine integer: compared as digit strings, no overflow.
             Case{"99999999999999999999", "100000000000000000000", -1},
             Case{"2.01", "2.1", 0},
             Case{"0", "000", 0},
             Case{"2.010", "2.9", 1},
             Case{"1.2", "1.2.0", -1},
             Case{"2.0.0", "2.0.0-beta", -1},
             Case{"A", "a", -1},        // no case folding
             Case{"z", "\xc3\xa9", -1}, // U+00E9 after 'z'
             Case{".hidden", "0", -1},
             Case{"v10a", "v010a", 0},
         }) {
        int got = compareVersionNames(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.order) << c.a << " vs " << c.b;
    }
}

TEST_F(Locator, NewestVersionByNumericOrder) {
    makeProgram(versionBinary("2.0.9"));
    makeProgram(versionBinary("2.0.10"));
    EXPECT_EQ(ClaudeLocator::binary(), versionBinary("2.0.10"));
}

TEST_F(Locator, VersionsWithoutAnExecutableAreSkipped) {
    makeProgram(versionBinary("2.0.5"));
    fs::create_directories(versions() / "2.1.0");            // empty version folder
    makeProgram(versionBinary("2.0.9"), 0644);               // not executable
    fs::create_directories(versionBinary("2.0.8"));          // a folder named claude
    writeText(versions() / "3.0.0", "a file, not a folder"); // not a folder
    fs::create_directories(versionBinary("2.0.6").parent_path());
    fs::create_symlink(versions() / "nowhere", versionBinary("2.0.6")); // dangling link
    EXPECT_EQ(ClaudeLocator::binary(), versionBinary("2.0.5"));
    // Also when the fixed candidates exist: the versions folder comes first.
    makeProgram(home.path() / ".local/bin/claude");
    EXPECT_EQ(ClaudeLocator::binary(), versionBinary("2.0.5"));
}

TEST_F(Locator, FixedCandidatesInOrder) {
    const fs::path local = home.path() / ".local/bin/claude";
    const fs::path claudeLocal = home.path() / ".claude/local/claude";
    EXPECT_TRUE(isSystemInstall(ClaudeLocator::binary()));

    makeProgram(claudeLocal);
    writeText(versions(), "not a folder"); // passed over, not a failure
    EXPECT_EQ(ClaudeLocator::binary(), claudeLocal);
    makeProgram(local);
    EXPECT_EQ(ClaudeLocator::binary(), local);

    fs::permissions(local, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ClaudeLocator::binary(), claudeLocal);
    fs::remove(claudeLocal);
    fs::create_directories(claudeLocal); // a searchable folder is still no program
    EXPECT_TRUE(isSystemInstall(ClaudeLocator::binary()));
}

TEST_F(Locator, SymbolicLinksAreFollowedButNotResolved) {
    const fs::path target = home.path() / "elsewhere/claude-2.1.0";
    const fs::path local = home.path() / ".local/bin/claude";
    makeProgram(target);
    fs::create_directories(local.parent_path());
    fs::create_symlink(target, local);
    EXPECT_EQ(ClaudeLocator::binary(), local);

    fs::remove(target);
    EXPECT_TRUE(isSystemInstall(ClaudeLocator::binary()));
}

TEST_F(Locator, OverrideWinsOnlyWhenAnExecutableFile) {
    makeProgram(versionBinary("2.0.10"));
    const fs::path plain = home.path() / "plain";
    writeText(plain, "data", 0644);
    fs::create_directories(home.path() / "folder");
    for (const std::string& value : {plain.string(), (home.path() / "folder").string()}) {
        ScopedEnv override("PAVIX_CLAUDE_PATH", value);
        EXPECT_EQ(ClaudeLocator::binary(), versionBinary("2.0.10")) << value;
    }
    makeProgram(home.path() / "tools/my-claude");
    // Returned exactly as written, redundant parts included.
    const std::string written = (home.path() / "tools/./my-claude").string();
    ScopedEnv override("PAVIX_CLAUDE_PATH", written);
    EXPECT_EQ(ClaudeLocator::binary(), fs::path(written));
}

namespace {

// Runs the version probe against the fake agent playing `scenario`.
std::optional<std::string> probe(const Scenario& scenario,
                                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    TempFolder folder;
    scenario.writeTo(folder.path() / "scenario.json");
    ScopedEnv variable(scenarioVariable, (folder.path() / "scenario.json").string());
    return ClaudeLocator::version(fakeAgentPath(), limit);
}

} // namespace

TEST(VersionProbe, FirstSpaceSeparatedWord) {
    EXPECT_EQ(probe(Scenario().version("   2.1.3 (Claude Code)\n")), "2.1.3");
    // Only U+0020 separates: a bare version keeps its line feed.
    EXPECT_EQ(probe(Scenario().version("2.1.3\n")), "2.1.3\n");
    // The exit status does not matter.
    EXPECT_EQ(probe(Scenario().version("9.9 x").set("version_exit", 3)), "9.9");
    EXPECT_EQ(probe(Scenario().version("    ")), std::nullopt);
    EXPECT_EQ(probe(Scenario().set("version_hex", "ff 20 31 2e 30")), std::nullopt);
}

TEST(VersionProbe, ProgramsThatCannotRun) {
    TempFolder folder;
    EXPECT_EQ(ClaudeLocator::version(folder.path() / "missing"), std::nullopt);
    writeText(folder.path() / "plain", "#!/bin/sh\necho 1.0\n", 0644);
    EXPECT_EQ(ClaudeLocator::version(folder.path() / "plain"), std::nullopt);
}

TEST(VersionProbe, HangingProbeIsKilledAtTheLimit) {
    TempFolder folder;
    const fs::path record = folder.path() / "record.jsonl";
    EXPECT_EQ(probe(Scenario().versionHangs().recordTo(record), std::chrono::milliseconds(300)),
              std::nullopt);
    auto starts = recorded(record, "start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["args"], json::array({"--version"}));
    // Killed and reaped: the process no longer exists.
    errno = 0;
    EXPECT_EQ(::kill(starts[0]["pid"].get<pid_t>(), 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(VersionProbe, ChildInheritsOnlyTheStandardDescriptors) {
    TempFolder folder;
    const fs::path record = folder.path() / "record.jsonl";
    // A descriptor of ours without close-on-exec must not leak into the probe either.
    int stray = ::dup(STDOUT_FILENO);
    auto found = probe(Scenario().version("1.0 x").recordTo(record));
    ::close(stray);
    EXPECT_EQ(found, "1.0");
    auto starts = recorded(record, "start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["fds"], json::array({0, 1, 2}));
    EXPECT_EQ(starts[0]["cwd"], fs::current_path().string());
}

#ifdef __linux__
TEST(SignIn, CredentialsFileInTheConfigFolder) {
    TempHome home;
    ScopedEnv unset("CLAUDE_CONFIG_DIR", std::nullopt);
    const fs::path credentials = home.path() / ".claude/.credentials.json";
    EXPECT_FALSE(ClaudeLocator::isSignedIn());
    fs::create_directories(credentials); // a folder of that name is not credentials
    EXPECT_FALSE(ClaudeLocator::isSignedIn());
    fs::remove(credentials);
    writeText(credentials, "{}", 0600);
    EXPECT_TRUE(ClaudeLocator::isSignedIn());

    TempFolder other;
    {
        ScopedEnv set("CLAUDE_CONFIG_DIR", other.path().string());
        EXPECT_FALSE(ClaudeLocator::isSignedIn()); // the home folder's file no longer counts
        fs::create_symlink(credentials, other.path() / ".credentials.json");
        EXPECT_TRUE(ClaudeLocator::isSignedIn());
    }
    ScopedEnv empty("CLAUDE_CONFIG_DIR", "");
    EXPECT_TRUE(ClaudeLocator::isSignedIn()); // empty counts as unset
}
#endif
