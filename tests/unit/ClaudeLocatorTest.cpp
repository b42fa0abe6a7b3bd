#include "config/ClaudeLocator.h"

#include "Scripts.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

using namespace pavix;
using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

// Where nothing of ours is found, the machine's own installs may be.
bool systemInstall(const std::optional<fs::path>& found) {
    return !found || *found == "/opt/homebrew/bin/claude" || *found == "/usr/local/bin/claude";
}

} // namespace

TEST(ClaudeLocator, TakesTheNewestUsableVersionThenTheUsualPlaces) {
    TempHome home;
    ::unsetenv("PAVIX_CLAUDE_PATH");
    const fs::path versions = home.path() / "Library/Application Support/Claude/claude-code";
    auto binary = [&](const std::string& version) {
        return versions / version / "claude.app/Contents/MacOS/claude";
    };
    auto program = [](const fs::path& path, unsigned mode = 0755) {
        writeText(path, "#!/bin/sh\n", mode);
        return path;
    };
    program(binary("2.0.9"));
    program(binary("2.0.10"));
    fs::create_directories(versions / "2.1.0"); // no program in it
    program(binary("2.1.1"), 0644);             // not executable
    fs::create_directories(binary("2.1.2"));    // a folder named claude
    fs::create_directories(binary("2.1.3").parent_path());
    fs::create_symlink("nowhere", binary("2.1.3")); // a dangling link
    const fs::path local = program(home.path() / ".local/bin/claude");
    EXPECT_EQ(ClaudeLocator::binary(), binary("2.0.10"));

    fs::remove_all(versions.parent_path());
    const fs::path claudeLocal = program(home.path() / ".claude/local/claude");
    EXPECT_EQ(ClaudeLocator::binary(), local);
    fs::permissions(local, fs::perms::owner_read);
    EXPECT_EQ(ClaudeLocator::binary(), claudeLocal);
    fs::remove(claudeLocal);
    fs::create_symlink(program(home.path() / "elsewhere/claude-2.1.0"), claudeLocal);
    EXPECT_EQ(ClaudeLocator::binary(), claudeLocal) << "links are followed, not resolved";
    fs::remove(home.path() / "elsewhere/claude-2.1.0");
    EXPECT_TRUE(systemInstall(ClaudeLocator::binary()));

    // An override wins when it names an executable file, as written.
    ::setenv("PAVIX_CLAUDE_PATH", home.path().c_str(), 1);
    EXPECT_TRUE(systemInstall(ClaudeLocator::binary()));
    const std::string written =
        (program(home.path() / "tools/my-claude").parent_path() / "./my-claude").string();
    ::setenv("PAVIX_CLAUDE_PATH", written.c_str(), 1);
    EXPECT_EQ(ClaudeLocator::binary(), fs::path(written));
    ::unsetenv("PAVIX_CLAUDE_PATH");
}

TEST(ClaudeLocator, TheVersionIsTheFirstWordOfWhatTheProgramPrints) {
    TempFolder folder;
    struct Case {
        std::string script;
        std::optional<std::string> version;
    };
    for (const Case& c :
         {Case{"printf '   2.1.3 (Claude Code)\\n'", "2.1.3"},
          Case{"printf '2.1.3\\n'", "2.1.3\n"}, // only a space ends the word
          Case{"printf '9.9 x'; exit 3", "9.9"}, Case{"printf '    '", std::nullopt},
          Case{"printf '\\377 1.0'", std::nullopt}}) {
        EXPECT_EQ(ClaudeLocator::version(writeScript(folder.path(), "claude", c.script)), c.version)
            << c.script;
    }
    EXPECT_EQ(ClaudeLocator::version(folder.path() / "missing"), std::nullopt);
    // One that never ends is given up on at the limit, and ends.
    const fs::path pid = folder.path() / "pid";
    auto hanging =
        writeScript(folder.path(), "hanging", "echo $$ > '" + pid.string() + "'; exec sleep 60");
    EXPECT_EQ(ClaudeLocator::version(hanging, std::chrono::milliseconds(300)), std::nullopt);
    errno = 0;
    EXPECT_EQ(::kill(std::stoi(readText(pid)), 0), -1);
    EXPECT_EQ(errno, ESRCH);
}
