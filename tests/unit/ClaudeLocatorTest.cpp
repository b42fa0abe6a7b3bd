#include "config/ClaudeLocator.h"

#include "TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace pavix;
using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

fs::path program(const fs::path& path, const std::string& body = "", unsigned mode = 0755) {
    writeText(path, "#!/bin/sh\n" + body + "\n", mode);
    return path;
}

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
    program(binary("2.0.9"));
    program(binary("2.0.10"));
    program(binary("2.1.1"), "", 0644);      // not executable
    fs::create_directories(binary("2.1.2")); // a folder named claude
    const fs::path local = program(home.path() / ".local/bin/claude");
    EXPECT_EQ(ClaudeLocator::binary(), binary("2.0.10"));
    fs::remove_all(versions.parent_path());
    EXPECT_EQ(ClaudeLocator::binary(), local);
    fs::remove(local);
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
        EXPECT_EQ(ClaudeLocator::version(program(folder.path() / "claude", c.script)), c.version)
            << c.script;
    }
    EXPECT_EQ(ClaudeLocator::version(folder.path() / "missing"), std::nullopt);
}
