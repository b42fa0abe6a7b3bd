// install and uninstall as the user runs them, with a systemctl stand-in first on PATH
// that records each call, makes noise and fails.
#include "RunProgram.h"
#include "TempHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pavix::test;
namespace fs = std::filesystem;

TEST(Installer, CopiesRegistersAndRepeatsSafely) {
    TempHome home;
    TempFolder tools;
    writeText(tools.path() / "systemctl",
              "#!/bin/sh\necho \"$@\" >> '" + (tools.path() / "calls").string() +
                  "'\necho noise; echo more noise >&2; exit 1\n",
              0755);
    auto run = [&](const std::string& program, const std::string& word) {
        return runProgram(program, {word}, {{"PATH", tools.path().string() + ":/usr/bin:/bin"}});
    };
    const fs::path installed = home.configFolder() / "pavix-bridge";
    const fs::path unit = home.path() / ".config/systemd/user/pavix-bridge.service";
    const std::string installCalls = "--user daemon-reload\n--user enable pavix-bridge.service\n"
                                     "--user restart pavix-bridge.service\n";

    auto first = run(PAVIX_BRIDGE_PATH, "install");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "installed: runs at login from " + installed.string() + "\n");
    EXPECT_EQ(first.err, "") << "the tool's noise and failure are not ours";
    EXPECT_EQ(readText(installed), readText(PAVIX_BRIDGE_PATH));
    EXPECT_TRUE(fs::exists(home.configFolder() / "bridge.json"));
    EXPECT_THAT(readText(unit),
                testing::HasSubstr("ExecStart=\"" + installed.string() + "\" serve\n"));
    EXPECT_EQ(readText(tools.path() / "calls"), installCalls);

    // From the installed copy: registered again, never copied onto itself (which would
    // empty it); an older copy is replaced.
    EXPECT_EQ(run(installed, "install").status, 0);
    EXPECT_EQ(readText(installed), readText(PAVIX_BRIDGE_PATH));
    writeText(installed, "an older build", 0700);
    EXPECT_EQ(run(PAVIX_BRIDGE_PATH, "install").status, 0);
    EXPECT_EQ(readText(installed), readText(PAVIX_BRIDGE_PATH));

    // Uninstalling removes the registration only.
    auto removed = run(PAVIX_BRIDGE_PATH, "uninstall");
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.out, "removed the login item\n");
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_TRUE(fs::exists(installed) && fs::exists(home.configFolder() / "bridge.json"));
    EXPECT_EQ(readText(tools.path() / "calls"),
              installCalls + installCalls + installCalls +
                  "--user disable --now pavix-bridge.service\n--user daemon-reload\n");
}
