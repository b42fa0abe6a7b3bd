// install and uninstall as the user runs them, with a systemctl stand-in first on PATH
// that records each call, makes noise and fails.
#include "RunProgram.h"
#include "TempHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        writeText(tools.path() / "systemctl",
                  "#!/bin/sh\necho \"$@\" >> '" + (tools.path() / "calls").string() +
                      "'\necho noise; echo more noise >&2; exit 1\n",
                  0755);
    }
    ProgramOutput run(const std::string& program, const std::string& word) {
        return runProgram(program, {word}, {{"PATH", tools.path().string() + ":/usr/bin:/bin"}});
    }
    std::string calls() const { return readText(tools.path() / "calls"); }
    static struct stat statOf(const fs::path& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return info;
    }

    TempHome home;
    TempFolder tools;
    const fs::path installed = home.configFolder() / "pavix-bridge";
    const fs::path unit = home.path() / ".config/systemd/user/pavix-bridge.service";
    const std::string installCalls = "--user daemon-reload\n--user enable pavix-bridge.service\n"
                                     "--user restart pavix-bridge.service\n";
    const std::string uninstallCalls = "--user disable --now pavix-bridge.service\n"
                                       "--user daemon-reload\n";
};

} // namespace

TEST_F(Installer, CopiesRegistersAndRepeatsSafely) {
    auto first = run(PAVIX_BRIDGE_PATH, "install");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "installed: runs at login from " + installed.string() + "\n");
    EXPECT_EQ(first.err, "") << "the tool's noise and failure are not ours";
    EXPECT_EQ(readText(installed), readText(PAVIX_BRIDGE_PATH));
    EXPECT_EQ(statOf(installed).st_mode, statOf(PAVIX_BRIDGE_PATH).st_mode);
    EXPECT_TRUE(fs::exists(home.configFolder() / "bridge.json"));
    EXPECT_THAT(readText(unit),
                testing::HasSubstr("ExecStart=\"" + installed.string() + "\" serve\n"));
    EXPECT_EQ(statOf(unit).st_mode & 07777, 0644u);
    EXPECT_EQ(calls(), installCalls);

    // From the installed copy: registered again, never copied onto itself.
    const auto copy = statOf(installed);
    writeText(unit, "stale\n");
    EXPECT_EQ(run(installed, "install").status, 0);
    EXPECT_EQ(statOf(installed).st_ino, copy.st_ino);
    EXPECT_EQ(statOf(installed).st_mtim.tv_nsec, copy.st_mtim.tv_nsec);
    EXPECT_THAT(readText(unit), testing::HasSubstr("ExecStart="));

    // An older copy is replaced; the configuration stays.
    const std::string config = readText(home.configFolder() / "bridge.json");
    writeText(installed, "an older build", 0700);
    EXPECT_EQ(run(PAVIX_BRIDGE_PATH, "install").status, 0);
    EXPECT_EQ(readText(installed), readText(PAVIX_BRIDGE_PATH));
    EXPECT_EQ(readText(home.configFolder() / "bridge.json"), config);

    // Uninstalling removes the registration only.
    writeText(home.configFolder() / "bridge-sessions.json", "{}");
    auto removed = run(PAVIX_BRIDGE_PATH, "uninstall");
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.out, "removed the login item\n");
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_TRUE(fs::exists(installed) && fs::exists(home.configFolder() / "bridge.json") &&
                fs::exists(home.configFolder() / "bridge-sessions.json"));
    EXPECT_EQ(calls(), installCalls + installCalls + installCalls + uninstallCalls);
}

TEST_F(Installer, AFailureLeavesWhatWasThereAndRegistersNothing) {
    // Tests run as root, where permission bits stop nothing: block the paths structurally.
    for (const fs::path& blocker : {installed / "keep", home.path() / "Library"}) {
        writeText(blocker, "mine");
        auto result = run(PAVIX_BRIDGE_PATH, "install");
        EXPECT_EQ(result.status, 1);
        EXPECT_THAT(result.err, testing::MatchesRegex("couldn't install: .*\n")) << blocker;
        EXPECT_EQ(readText(blocker), "mine");
        fs::remove_all(home.path() / "Library");
    }
    // A file size limit far below the program's size makes the copy fail midway.
    ASSERT_EQ(runBridge({"setup"}).status, 0);
    writeText(installed, "an older build", 0755);
    auto result = runProgram(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" install", PAVIX_BRIDGE_PATH},
        {{"PATH", tools.path().string() + ":/usr/bin:/bin"}});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(readText(installed), "an older build");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(home.configFolder()))
        names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, testing::UnorderedElementsAre("bridge.json", "pavix-bridge"));
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_EQ(calls(), "");
}
