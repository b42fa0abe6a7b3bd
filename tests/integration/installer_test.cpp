#include "RunProgram.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> installCalls = {
    "[--user][daemon-reload]",
    "[--user][enable][pavix-bridge.service]",
    "[--user][restart][pavix-bridge.service]",
};
const std::vector<std::string> uninstallCalls = {
    "[--user][disable][--now][pavix-bridge.service]",
    "[--user][daemon-reload]",
};

struct stat statOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info;
}

// A home folder, and a systemctl stand-in first on PATH that records each call as
// "[arg][arg]…", makes noise on both outputs and fails.
class Installer : public ::testing::Test {
protected:
    TempHome home;
    TempFolder tools;

    void SetUp() override {
        writeText(tools.path() / "systemctl",
                  "#!/bin/sh\n"
                  "printf '[%s]' \"$@\" >> '" +
                      (tools.path() / "calls").string() +
                      "'\n"
                      "echo >> '" +
                      (tools.path() / "calls").string() +
                      "'\n"
                      "echo systemctl says hello\n"
                      "echo systemctl complains >&2\n"
                      "exit 1\n",
                  0755);
    }

    std::map<std::string, std::optional<std::string>> withStandIn() const {
        const char* path = std::getenv("PATH");
        return {{"PATH", tools.path().string() + ":" + (path ? path : "/usr/bin:/bin")}};
    }

    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::istringstream text(readText(tools.path() / "calls"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    fs::path installed() const { return home.configFolder() / "pavix-bridge"; }
    fs::path unit() const { return home.path() / ".config/systemd/user/pavix-bridge.service"; }
    fs::path logFile() const { return home.path() / "Library/Logs/pavix-bridge.log"; }
    std::string installedMessage() const {
        return "installed: runs at login from " + installed().string() + "\n";
    }
    std::string expectedUnit() const {
        const std::string log = logFile().string();
        return "[Unit]\nDescription=pavix-bridge\n\n[Service]\nExecStart=\"" +
               installed().string() + "\" serve\nRestart=always\nStandardOutput=append:" + log +
               "\nStandardError=append:" + log + "\n\n[Install]\nWantedBy=default.target\n";
    }
    std::vector<std::string> configFolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(home.configFolder()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST_F(Installer, FirstInstallCopiesConfiguresAndRegisters) {
    auto result = runBridge({"install"}, withStandIn());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, installedMessage());
    EXPECT_EQ(result.err, ""); // the tool's noise goes nowhere, its failure is not ours

    EXPECT_TRUE(fs::is_regular_file(home.configFolder() / "bridge.json"));
    EXPECT_EQ(readText(installed()), readText(PAVIX_BRIDGE_PATH));
    EXPECT_EQ(statOf(installed()).st_mode, statOf(PAVIX_BRIDGE_PATH).st_mode);
    EXPECT_EQ(configFolderEntries(), (std::vector<std::string>{"bridge.json", "pavix-bridge"}));

    EXPECT_EQ(readText(unit()), expectedUnit());
    EXPECT_EQ(statOf(unit()).st_mode & 07777, 0644u);
    EXPECT_TRUE(fs::is_directory(logFile().parent_path()));
    EXPECT_EQ(calls(), installCalls);
}

TEST_F(Installer, RunFromTheInstalledCopyReregistersWithoutCopying) {
    ASSERT_EQ(runBridge({"install"}, withStandIn()).status, 0);
    const auto before = statOf(installed());
    writeText(unit(), "stale\n");

    auto result = runProgram(installed().string(), {"install"}, withStandIn());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, installedMessage());
    const auto after = statOf(installed());
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(readText(unit()), expectedUnit());
    std::vector<std::string> twice = installCalls;
    twice.insert(twice.end(), installCalls.begin(), installCalls.end());
    EXPECT_EQ(calls(), twice);
}

TEST_F(Installer, ReplacesAnOlderCopyAndKeepsTheConfiguration) {
    ASSERT_EQ(runBridge({"setup"}).status, 0);
    const std::string config = readText(home.configFolder() / "bridge.json");
    writeText(installed(), "an older build", 0700);
    writeText(unit(), "stale\n");

    TempFolder noServiceManager; // its absence does not fail the install
    auto result = runBridge({"install", "extra"}, {{"PATH", noServiceManager.path().string()}});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, installedMessage());
    EXPECT_EQ(readText(installed()), readText(PAVIX_BRIDGE_PATH));
    EXPECT_EQ(statOf(installed()).st_mode, statOf(PAVIX_BRIDGE_PATH).st_mode);
    EXPECT_EQ(readText(home.configFolder() / "bridge.json"), config);
    EXPECT_EQ(readText(unit()), expectedUnit());
    EXPECT_EQ(configFolderEntries(), (std::vector<std::string>{"bridge.json", "pavix-bridge"}));
}

TEST_F(Installer, UninstallRemovesOnlyTheRegistration) {
    auto nothing = runBridge({"uninstall"}, withStandIn());
    EXPECT_EQ(nothing.status, 0);
    EXPECT_EQ(nothing.out, "removed the login item\n");
    EXPECT_EQ(nothing.err, "");
    EXPECT_FALSE(fs::exists(home.configFolder())) << "nothing is created to be removed";

    ASSERT_EQ(runBridge({"install"}, withStandIn()).status, 0);
    writeText(home.configFolder() / "bridge-sessions.json", "{}");
    writeText(logFile(), "[a log line]\n");

    auto result = runBridge({"uninstall"}, withStandIn());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "removed the login item\n");
    EXPECT_FALSE(fs::exists(unit()));
    EXPECT_EQ(readText(installed()), readText(PAVIX_BRIDGE_PATH));
    EXPECT_TRUE(fs::exists(home.configFolder() / "bridge.json"));
    EXPECT_EQ(readText(home.configFolder() / "bridge-sessions.json"), "{}");
    EXPECT_EQ(readText(logFile()), "[a log line]\n");
    std::vector<std::string> expected = uninstallCalls;
    expected.insert(expected.end(), installCalls.begin(), installCalls.end());
    expected.insert(expected.end(), uninstallCalls.begin(), uninstallCalls.end());
    EXPECT_EQ(calls(), expected);
}

TEST_F(Installer, BlockedPathsFailTheInstallBeforeAnythingIsRegistered) {
    // Tests run as root, where permission bits stop nothing: block the paths structurally.
    for (const fs::path& blocker : {installed() / "keep", home.path() / "Library"}) {
        SCOPED_TRACE(blocker);
        writeText(blocker, "mine");
        auto result = runBridge({"install"}, withStandIn());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("couldn't install: ", 0), 0u) << result.err;
        EXPECT_EQ(result.err.back(), '\n');
        EXPECT_EQ(readText(blocker), "mine");
        EXPECT_FALSE(fs::exists(unit()));
        EXPECT_EQ(calls(), std::vector<std::string>{});
        fs::remove_all(home.path() / "Library");
    }
}

TEST_F(Installer, CopyFailingMidwayLeavesTheOlderCopyInPlace) {
    ASSERT_EQ(runBridge({"setup"}).status, 0);
    writeText(installed(), "an older build", 0755);
    // A file size limit far below the executable's size makes the copy's writes fail.
    auto result = runProgram(
        "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" install", PAVIX_BRIDGE_PATH},
        withStandIn());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("couldn't install: ", 0), 0u) << result.err;
    EXPECT_EQ(readText(installed()), "an older build");
    EXPECT_EQ(configFolderEntries(), (std::vector<std::string>{"bridge.json", "pavix-bridge"}));
    EXPECT_FALSE(fs::exists(unit()));
    EXPECT_EQ(calls(), std::vector<std::string>{});
}
