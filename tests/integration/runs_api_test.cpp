// Runs driven over the API against the real service, with the stand-in agent asking
// for approvals through the service's own approval tool.
#include "BridgeServer.h"
#include "RunProbe.h"
#include "bridge/Session.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace pavix::test;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const json okBody = {{"ok", true}};
const json noSuchRun = {{"error", "no such run"}};
const json inputRequired = {{"error", "input is required"}};
const json nothingWaiting = {{"error", "nothing is waiting for approval"}};

/// Reads `events` up to and including the first event named `name`; that event, or null.
json readUntil(EventReader& events, const std::string& name) {
    while (auto text = events.next()) {
        json event = json::parse(*text);
        if (event["event"] == name) return event;
    }
    ADD_FAILURE() << "no " << name << " event";
    return nullptr;
}

/// The rest of a stream, which must end with the run.
Strings readToEnd(EventReader& events) {
    Strings texts = events.collect();
    EXPECT_TRUE(events.ended()) << "the stream should close after the run's end";
    return texts;
}

/// Polls the session's messages until there are `count` (the recorder works in the
/// background); what was there last.
json waitForMessages(HttpClient& client, const std::string& session, std::size_t count) {
    json messages;
    eventually([&] {
        messages = client.get("/api/sessions/" + session + "/messages").json()["data"];
        return messages.size() >= count;
    });
    return messages;
}

json message(const std::string& role, const std::string& content) {
    return {{"role", role}, {"content", content}};
}

std::size_t countOf(const Strings& names, const std::string& name) {
    return static_cast<std::size_t>(std::count(names.begin(), names.end(), name));
}

} // namespace

TEST(RunsApi, ARunStreamsIsRecordedAndTheNextOneResumesItsSession) {
    BridgeServer bridge;
    bridge.setScenario(scenario::replying("Hello / there."));
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();

    std::string run =
        startRun(client, {{"input", " \n Say hello\t\n"}, {"instructions", "Be brief."}});
    ASSERT_FALSE(run.empty());
    auto events = client.events("/v1/runs/" + run + "/events");
    ASSERT_EQ(events.status(), 200);
    Strings texts = readToEnd(events);
    Strings names = eventNames(texts);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "message.delta");
    EXPECT_EQ(names.back(), "run.completed");
    EXPECT_EQ(countOf(names, "run.completed"), 1u);

    json status = client.get("/v1/runs/" + run).json();
    EXPECT_EQ(status["status"], "completed");
    EXPECT_EQ(status["output"], "Hello / there.");
    ASSERT_TRUE(status["session_id"].is_string());
    std::string claudeSession = status["session_id"];

    // A finished run stays reachable: its whole log again, then the end.
    auto replay = client.events("/v1/runs/" + run + "/events");
    EXPECT_EQ(readToEnd(replay), texts);
    EXPECT_EQ(client.post("/v1/runs/" + run + "/stop", json::object()).json(), okBody);
    EXPECT_EQ(client.post("/v1/runs/" + run + "/steer", {{"input", "more"}}).json(), noSuchRun);
    auto late = client.post("/v1/runs/" + run + "/approval", {{"choice", "once"}});
    EXPECT_EQ(late.status, 409);
    EXPECT_EQ(late.json(), nothingWaiting);
    EXPECT_EQ(client.get("/v1/runs/" + run).json(), status)
        << "a stop after the end changes nothing";

    json sessions = client.get("/api/sessions").json()["data"];
    ASSERT_EQ(sessions.size(), 1u);
    std::string session = sessions[0]["id"];
    EXPECT_EQ(session.rfind("pavix-", 0), 0u) << session;
    EXPECT_EQ(sessions[0]["title"], "Say hello");
    EXPECT_EQ(sessions[0]["source"], "workspace");
    EXPECT_EQ(waitForMessages(client, session, 2),
              json::array({message("user", "Say hello"), message("assistant", "Hello / there.")}));

    // The same session again: Claude Code is asked to resume its own session, in the
    // session's folder, without the first run's instructions.
    std::string second = startRun(client, {{"input", "Again"}, {"session_id", session}});
    auto secondEvents = client.events("/v1/runs/" + second + "/events");
    EXPECT_EQ(eventNames(readToEnd(secondEvents)).back(), "run.completed");
    EXPECT_EQ(waitForMessages(client, session, 4).size(), 4u);
    EXPECT_EQ(client.get("/api/sessions").json()["data"].size(), 1u);

    auto launches = bridge.runLaunches();
    ASSERT_EQ(launches.size(), 2u);
    Strings first = launches[0]["args"], resumed = launches[1]["args"];
    EXPECT_EQ(std::find(first.begin(), first.end(), "--resume"), first.end());
    auto instructions = std::find(first.begin(), first.end(), "--append-system-prompt");
    ASSERT_NE(instructions, first.end());
    EXPECT_EQ(instructions[1], "Be brief.");
    auto resume = std::find(resumed.begin(), resumed.end(), "--resume");
    ASSERT_NE(resume, resumed.end());
    EXPECT_EQ(resume[1], claudeSession);
    EXPECT_EQ(std::find(resumed.begin(), resumed.end(), "--append-system-prompt"), resumed.end());
    EXPECT_EQ(launches[1]["cwd"], launches[0]["cwd"]);
    EXPECT_EQ(recordedMessages(bridge.recordFile()), (Strings{"Say hello", "Again"}));
}

TEST(RunsApi, OneRunAtATimeAndSteeringIsAnsweredWithinTheRun) {
    BridgeServer bridge;
    // The first answer waits for the steering message, which gets its own answer.
    bridge.setScenario(Scenario()
                           .thenTurn({step::init(), step::delta("Working"), step::awaitInput(),
                                      step::success("first")})
                           .thenTurn(turn::reply("second"))
                           .interruptLikeClaude());
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();

    std::string run = startRun(client, {{"input", "Work"}});
    auto events = client.events("/v1/runs/" + run + "/events");
    EXPECT_EQ(readUntil(events, "message.delta")["delta"], "Working");

    json sessionsBefore = client.get("/api/sessions").json();
    auto busy = client.post("/v1/runs", {{"input", "Other"}, {"session_id", "other"}});
    EXPECT_EQ(busy.status, 409);
    EXPECT_EQ(busy.json(), (json{{"error", "Claude Code is still working on another task. Stop "
                                           "it or wait for it to finish."}}));
    EXPECT_EQ(client.get("/api/sessions").json(), sessionsBefore);

    for (json body : {json::object(), json{{"input", ""}}, json{{"input", 5}}}) {
        auto refused = client.post("/v1/runs/" + run + "/steer", body);
        EXPECT_EQ(refused.status, 400) << body;
        EXPECT_EQ(refused.json(), inputRequired);
    }
    EXPECT_EQ(client.post("/v1/runs/" + run + "/steer", {{"input", " "}}).json(), okBody);

    Strings names = eventNames(readToEnd(events));
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "run.steered");
    EXPECT_EQ(names.back(), "run.completed");
    EXPECT_EQ(countOf(names, "run.completed"), 1u);
    EXPECT_EQ(client.get("/v1/runs/" + run).json()["output"], "second")
        << "the first result must not end a steered run";
    EXPECT_EQ(recordedMessages(bridge.recordFile()), (Strings{"Work", " "}));
    EXPECT_EQ(client.post("/v1/runs/" + run + "/steer", {{"input", "late"}}).json(), noSuchRun);

    // The steering message is not part of the conversation.
    std::string session = sessionsBefore["data"][0]["id"];
    EXPECT_EQ(waitForMessages(client, session, 2),
              json::array({message("user", "Work"), message("assistant", "second")}));
}

TEST(RunsApi, AFailedLaunchKeepsThePromptAndHoldsNothingUp) {
    TempFolder projects;
    fs::create_directories(projects.path() / "app");
    BridgeServer::Options options;
    options.project = (projects.path() / "app").string();
    BridgeServer bridge(options);
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();

    std::string run = startRun(client, {{"input", "First"}, {"session_id", "mine"}});
    auto events = client.events("/v1/runs/" + run + "/events");
    readToEnd(events);
    ASSERT_EQ(waitForMessages(client, "mine", 2).size(), 2u);

    // The session's folder is gone, so Claude Code cannot be started in it.
    fs::remove_all(projects.path() / "app");
    auto refused = client.post("/v1/runs", {{"input", "Second"}, {"session_id", "mine"}});
    EXPECT_EQ(refused.status, 409) << refused.raw;
    std::string error = refused.json().value("error", "");
    EXPECT_EQ(error.rfind("Couldn't start Claude Code: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::string("Couldn't start Claude Code: ").size());
    EXPECT_EQ(client.get("/api/sessions/mine/messages").json()["data"],
              json::array({message("user", "First"), message("assistant", "ok"),
                           message("user", "Second")}));
    EXPECT_EQ(bridge.runLaunches().size(), 1u);

    // No run was left behind to count as busy; a new session works in the workspace.
    std::string next = startRun(client, {{"input", "Third"}, {"session_id", ""}});
    auto nextEvents = client.events("/v1/runs/" + next + "/events");
    EXPECT_EQ(eventNames(readToEnd(nextEvents)).back(), "run.completed");
    json sessions = client.get("/api/sessions").json()["data"];
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0]["source"], "workspace");
    EXPECT_EQ(sessions[0]["id"].get<std::string>().rfind("pavix-", 0), 0u);
}

TEST(RunsApi, ApprovalsAreAnsweredFromThePhone) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    step::Approval bash;
    bash.input = {{"command", "ls -la /tmp"}, {"description", "List files"}};

    SCOPED_TRACE("once");
    bridge.setScenario(scenario::withToolCall(bash, "Listed."));
    std::string run = startRun(client, {{"input", "List"}});
    auto events = client.events("/v1/runs/" + run + "/events");
    json request = readUntil(events, "approval.request");
    EXPECT_EQ(request, (json{{"event", "approval.request"},
                             {"heading", "claude code wants to use Bash"},
                             {"choices", {"once", "session", "deny"}},
                             {"command", "ls -la /tmp"},
                             {"description", "List files"}}));
    // The approval tool's request is still open; the service answers others meanwhile.
    EXPECT_EQ(client.get("/v1/runs/" + run).json()["status"], "waiting_for_approval");
    EXPECT_EQ(client.post("/v1/runs/" + run + "/approval", {{"choice", "once"}}).json(), okBody);
    Strings texts = readToEnd(events);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(json::parse(texts.front()),
              (json{{"event", "approval.responded"}, {"choice", "once"}}));
    EXPECT_EQ(eventNames(texts).back(), "run.completed");

    SCOPED_TRACE("no choice denies");
    run = startRun(client, {{"input", "List again"}});
    auto denied = client.events("/v1/runs/" + run + "/events");
    readUntil(denied, "approval.request");
    EXPECT_EQ(client.post("/v1/runs/" + run + "/approval", json::object()).json(), okBody);
    EXPECT_EQ(readUntil(denied, "approval.responded")["choice"], "deny");
    readToEnd(denied);
    auto approvals = bridge.waitForRecord("approval", 2);
    ASSERT_EQ(approvals.size(), 2u);
    EXPECT_EQ(approvals[1]["decision"]["behavior"], "deny");
}

TEST(RunsApi, AnApprovalStillWaitingWhenTheRunEndsIsDenied) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    step::Approval bash;
    bash.input = {{"command", "rm -rf build"}};
    bash.onDeny = {step::sleep(3600)}; // only the stop's interrupt ends this run

    auto relay = client.post("/internal/approve", {{"run", "no-such-run"}, {"tool_name", "Bash"}});
    EXPECT_EQ(relay.status, 200);
    EXPECT_EQ(relay.json(), (json{{"choice", "deny"}}));

    SCOPED_TRACE("stopped");
    bridge.setScenario(scenario::withToolCall(bash));
    std::string run = startRun(client, {{"input", "Clean"}});
    auto events = client.events("/v1/runs/" + run + "/events");
    readUntil(events, "approval.request");
    EXPECT_EQ(client.post("/v1/runs/" + run + "/stop", json::object()).json(), okBody);
    Strings texts = readToEnd(events);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(json::parse(texts.front()),
              (json{{"event", "approval.responded"}, {"choice", "deny"}}));
    EXPECT_EQ(eventNames(texts).back(), "run.cancelled");
    EXPECT_EQ(client.get("/v1/runs/" + run).json()["status"], "cancelled");
    // The interrupt reached the agent while it was still waiting for the answer.
    auto signals = bridge.waitForRecord("signal", 1);
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0]["signal"], "SIGINT");

    SCOPED_TRACE("agent gone");
    run = startRun(client, {{"input", "Clean again"}});
    auto orphaned = client.events("/v1/runs/" + run + "/events");
    readUntil(orphaned, "approval.request");
    auto launches = bridge.runLaunches();
    ASSERT_EQ(launches.size(), 2u);
    ::kill(launches[1]["pid"].get<pid_t>(), SIGKILL);
    EXPECT_EQ(eventNames(readToEnd(orphaned)).back(), "run.failed");
    // The denial comes after the end: only a replay shows it.
    auto replay = client.events("/v1/runs/" + run + "/events");
    texts = readToEnd(replay);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(eventNames(texts)[texts.size() - 2], "run.failed");
    EXPECT_EQ(json::parse(texts.back()),
              (json{{"event", "approval.responded"}, {"choice", "deny"}}));
    EXPECT_EQ(client.get("/v1/runs/" + run).json()["status"], "failed");
    EXPECT_EQ(client.post("/v1/runs/" + run + "/approval", {{"choice", "once"}}).json(),
              nothingWaiting);
}

// An update that replaces Claude Code's version folder must not make runs impossible
// until the service restarts.
TEST(RunsApi, ClaudeCodeMovedByAnUpdateIsFoundAgainAtTheNextStart) {
    BridgeServer::Options options;
    options.claudePath = std::nullopt;
    BridgeServer bridge(options);
    const fs::path versions = bridge.homePath() / "Library/Application Support/Claude/claude-code";
    auto install = [&](const std::string& version) {
        fs::path folder = versions / version / "claude.app/Contents/MacOS";
        fs::create_directories(folder);
        fs::create_symlink(fakeAgentPath(), folder / "claude");
    };
    install("2.1.0");
    bridge.setScenario(Scenario().version("2.1.0 (Claude Code)\n").everyTurn(turn::reply("hi")));
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    EXPECT_EQ(client.get("/health", false).json()["claude_code"], "2.1.0");

    install("2.2.0");
    fs::remove_all(versions / "2.1.0");
    bridge.setScenario(Scenario().version("2.2.0 (Claude Code)\n").everyTurn(turn::reply("hi")));
    std::string run = startRun(client, {{"input", "Still there?"}});
    ASSERT_FALSE(run.empty());
    auto events = client.events("/v1/runs/" + run + "/events");
    EXPECT_EQ(eventNames(readToEnd(events)).back(), "run.completed");
    EXPECT_EQ(client.get("/health", false).json()["claude_code"], "2.2.0");
}

// Claude Code starts in the session's folder, where a relative path would name nothing.
TEST(RunsApi, ARelativePathToClaudeCodeStillStartsIt) {
    BridgeServer::Options options;
    options.claudePath = fs::relative(fakeAgentPath());
    ASSERT_TRUE(options.claudePath->is_relative());
    BridgeServer bridge(options);
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    std::string run = startRun(client, {{"input", "Hi"}});
    ASSERT_FALSE(run.empty());
    auto events = client.events("/v1/runs/" + run + "/events");
    EXPECT_EQ(eventNames(readToEnd(events)).back(), "run.completed");
}

// Ended by its service manager, the service stops its run as a phone's stop would, so
// no Claude Code outlives it, and then exits cleanly.
TEST(RunsApi, EndingTheServiceStopsItsRunFirst) {
    BridgeServer bridge;
    bridge.setScenario(Scenario()
                           .thenTurn({step::init(), step::delta("Working"), step::sleep(600)})
                           .interruptLikeClaude());
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    std::string run = startRun(client, {{"input", "Work"}});
    auto events = client.events("/v1/runs/" + run + "/events");
    readUntil(events, "message.delta");

    EXPECT_EQ(bridge.stop(), 0);
    EXPECT_EQ(bridge.waitForRecord("signal").at(0)["signal"], "SIGINT");
    EXPECT_EQ(bridge.waitForRecord("exit").size(), 1u) << "the agent must end before the service";
    EXPECT_NE(bridge.log().find("stopping (SIGTERM)"), std::string::npos) << bridge.log();
    // The stopped run's reply is saved before the service ends.
    auto stored =
        pavix::decodeSessions(readText(bridge.home().configFolder() / "bridge-sessions.json"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->begin()->second.messages.size(), 2u);
}
