// A run's life in the registry beside the scenario tables: which finished runs are kept, in
// memory or on disk, a launch that fails, a stream resumed mid-run, Claude Code missing or
// moved, and the service's own end.
#include "RunScenario.h"

#include "bridge/RunRegistry.h"

#include <gtest/gtest.h>

#include <regex>

using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

// After each start the twenty newest finished runs stay reachable beside the new one. Ended
// by its service manager, the service then stops its run as a phone would, so that no agent
// or tool of it outlives it, and exits cleanly.
TEST(Runs, TheTwentyNewestFinishedRunsAreKeptAndTheServiceStopsItsRunFirst) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    Strings ids;
    for (int i = 0; i < 21; ++i) {
        ids.push_back(startRun(client, {{"input", "hi"}}));
        client.events("/v1/runs/" + ids.back() + "/events").rest();
    }
    bridge.setScenario(turn(R"([{"init": true}, {"spawn": ["sleep", "600"]}, {"delta": "Working"},
                              {"sleep": 600}])"_json));
    ids.push_back(startRun(client, {{"input", "Work"}}));
    client.events("/v1/runs/" + ids.back() + "/events").next();
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(client.get("/v1/runs/" + ids[i]).status, i == 0 ? 404 : 200) << i;
    EXPECT_EQ(bridge.stop(), 0);
    EXPECT_EQ(bridge.record("signal", 1).at(0)["signal"], "SIGINT");
    EXPECT_EQ(bridge.record("exit", 22).size(), 22u) << "the agent must end before the service";
    EXPECT_TRUE(ended(bridge.record("spawn", 1).at(0)["pid"].get<pid_t>())) << "and its tools";
    EXPECT_NE(bridge.log().find("stopping (SIGTERM)"), std::string::npos) << bridge.log();
}

TEST(Runs, AFailedLaunchKeepsThePromptAndHoldsNothingUp) {
    TempFolder projects;
    fs::create_directories(projects.path() / "app");
    BridgeServer::Options options;
    options.project = (projects.path() / "app").string();
    BridgeServer bridge(options);
    ASSERT_TRUE(bridge.start());
    Play play(bridge);
    ASSERT_TRUE(play.runThrough({{"input", "First"}, {"session_id", "mine"}}));
    ASSERT_EQ(play.messages("mine", 2).size(), 2u);
    const auto descriptors = settledDescriptors(bridge.pid());
    fs::remove_all(projects.path() / "app"); // Claude Code cannot start in the session's folder
    auto refused = play.client.post("/v1/runs", {{"input", "Second"}, {"session_id", "mine"}});
    EXPECT_EQ(refused.status, 409);
    EXPECT_TRUE(refused.json()
                    .value("error", "")
                    .starts_with("Couldn't start Claude Code: " +
                                 (projects.path() / "app").string() + ": No such file"));
    EXPECT_TRUE(eventually([&] { return openDescriptors(bridge.pid()) == descriptors; }))
        << "a failed start keeps nothing open";
    EXPECT_EQ(play.messages("mine", 3)[2], (json{{"role", "user"}, {"content", "Second"}}));
    EXPECT_EQ(bridge.launches().size(), 1u);
    // No run is left to count as busy; a new session works in the workspace.
    EXPECT_TRUE(play.runThrough({{"input", "Third"}, {"session_id", ""}}));
    EXPECT_EQ(play.session()["source"], "workspace");
}

// A phone that lost its stream mid-run picks it up where it was, and a stream that waits
// on a person is kept alive by a comment line alone, which no client takes for an event.
TEST(Runs, AStreamWithIdsIsKeptAliveAndResumedMidRun) {
    BridgeServer::Options options;
    options.environment["PAVIX_TEST_KEEPALIVE_MS"] = "300";
    BridgeServer bridge(options);
    json agent = turn(R"([{"init": true}, {"delta": "One"}, {"sleep": 2},
                         {"delta": "Two"}, {"result": {"result": "OneTwo"}}])"_json);
    agent["session_id"] = "s-1";
    bridge.setScenario(agent);
    ASSERT_TRUE(bridge.start());
    Play play(bridge);
    play.run = startRun(play.client, {{"input", "Go"}});
    {
        Connection phone(bridge.port());
        phone.send(play.request("?ids=1"));
        std::string bytes;
        while (!bytes.ends_with("\n:\n") && !phone.peerClosed())
            bytes += phone.receiveSome(20s);
        EXPECT_EQ(bytes, streamHead +
                             "id: 1\ndata: {\"delta\":\"One\",\"event\":\"message.delta\"}\n\n:\n");
    }
    // The agent is still asleep: the resumed stream is kept alive too, between whole events.
    EXPECT_EQ(std::regex_replace(play.replay("?ids=1", "Last-Event-ID: 1\r\n", 30s),
                                 std::regex("\n(:\n)+"), "\n"),
              streamHead + "id: 2\ndata: {\"delta\":\"Two\",\"event\":\"message.delta\"}\n\n" +
                  "id: 3\ndata: "
                  "{\"event\":\"run.completed\",\"output\":\"OneTwo\",\"session_id\":\"s-1\"}\n\n");
}

// 26 MB of events.
const json bigRun = turn({{{"init", true}},
                          {{"repeat", {{{"delta", std::string(65536, 'x')}}}}, {"times", 400}},
                          {{"result", {{"result", "done"}}}}});

// Finished runs' events beyond what memory keeps move to unlinked files of the service's
// own, and are replayed from there byte for byte.
TEST(Runs, LargeFinishedRunsMoveToDiskAndStayReplayable) {
    BridgeServer bridge;
    bridge.setScenario(bigRun);
    ASSERT_TRUE(bridge.start());
    Play play(bridge);
    Strings runs, first;
    for (int i = 0; i < 6; ++i) {
        runs.push_back(play.run = startRun(play.client, {{"input", "Go"}}));
        first.push_back(play.replay("", "", 60s));
        ASSERT_GT(first.back().size(), 400u * 65536) << i;
    }
    // Each held only by the service: unlinked, and its own to read.
    auto onDisk = [&] {
        return std::ranges::count_if(openDescriptors(bridge.pid()), [&](const std::string& d) {
            const auto mode = fs::status("/proc/" + std::to_string(bridge.pid()) + "/fd/" +
                                         d.substr(0, d.find(' ')))
                                  .permissions();
            return d.find("/run-logs/") != d.npos && d.ends_with(" (deleted)") &&
                   mode == (fs::perms::owner_read | fs::perms::owner_write);
        });
    };
    EXPECT_TRUE(eventually([&] { return onDisk() >= 3; })) << onDisk();
    for (std::size_t i = runs.size(); i-- > 0;) // the first last, to be resumed next
        EXPECT_TRUE((play.run = runs[i], play.replay("", "", 60s)) == first[i]) << i;
    // Resumed from disk: the last delta and the end.
    const std::string& whole = first[0];
    const std::size_t lastTwo = whole.rfind("data: ", whole.rfind("data: ") - 1);
    EXPECT_TRUE(play.replay("?after=399", "", 60s) ==
                whole.substr(0, whole.find("\r\n\r\n") + 4) + whole.substr(lastTwo));
    // Six runs of 26 MB each, 157 MB in all: the service holds no more than its budget, one
    // run's events not yet moved and 32 MiB of its own (the sanitizers keep memory).
    const auto bound = static_cast<long>(
        (pavix::RunRegistry::finishedRunsMemory + (400 << 16) + (32 << 20)) >> 10);
    EXPECT_TRUE(sanitized || bridge.statusKiB("RssAnon") < bound) << bridge.statusKiB("RssAnon");
}

// With the disk refusing their events, the oldest finished runs are forgotten instead, so
// that memory stays within its budget.
TEST(Runs, WithTheDiskRefusingEventsTheOldestFinishedRunsAreForgotten) {
    BridgeServer bridge;
    bridge.setScenario(bigRun);
    ASSERT_TRUE(bridge.start());
    writeText(bridge.home().configFolder() / "run-logs", "no folder for the files");
    auto client = bridge.client();
    Strings runs;
    for (int i = 0; i < 4; ++i) { // 26 MB of events each: two fit in memory
        runs.push_back(startRun(client, {{"input", "Go"}}));
        client.events("/v1/runs/" + runs.back() + "/events").rest(60s);
    }
    EXPECT_TRUE(eventually([&] { return client.get("/v1/runs/" + runs[1]).status == 404; }));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(client.get("/v1/runs/" + runs[i]).status, i < 2 ? 404 : 200) << i;
        EXPECT_EQ(bridge.log().find("] forgot run " + runs[i] + ": ") != std::string::npos, i < 2);
    }
}

// Missing, Claude Code is named as what to install, and found once installed; an update
// that replaces its version folder does not stop runs either. No restart is needed.
TEST(Runs, ClaudeCodeMissingOrMovedByAnUpdate) {
    BridgeServer::Options options;
    options.environment = {{"PAVIX_CLAUDE_PATH", std::nullopt}};
    BridgeServer bridge(options);
    const fs::path versions =
        bridge.home().path() / "Library/Application Support/Claude/claude-code";
    auto install = [&](const std::string& version) {
        fs::create_directories(versions / version / "claude.app/Contents/MacOS");
        fs::create_symlink(FAKE_CLAUDE_PATH,
                           versions / version / "claude.app/Contents/MacOS/claude");
        bridge.setScenario({{"version", version + " (Claude Code)\n"}});
    };
    ASSERT_TRUE(bridge.start());
    Play play(bridge);
    if (!fs::exists("/opt/homebrew/bin/claude") && !fs::exists("/usr/local/bin/claude")) {
        auto refused = play.client.post("/v1/runs", {{"input", "Hi"}});
        EXPECT_EQ(refused.status, 409);
        EXPECT_EQ(refused.json()["error"], "Claude Code isn't installed on this computer. "
                                           "Install Claude Code, then try again.");
    }
    install("2.1.0");
    EXPECT_TRUE(play.runThrough({{"input", "Installed now?"}}));
    EXPECT_EQ(play.client.get("/health", false).json()["claude_code"], "2.1.0");
    install("2.2.0");
    fs::remove_all(versions / "2.1.0");
    EXPECT_TRUE(play.runThrough({{"input", "Still there?"}}));
    EXPECT_EQ(play.client.get("/health", false).json()["claude_code"], "2.2.0");
}

} // namespace
