// Runs through the real service and the fake agent, one scenario a row: what the agent
// does, what the phone does meanwhile, and the events, status and record that must come of
// it. Every row also checks what every run promises: one terminal event that ends the
// stream; a subscriber that joins midway or after the end gets the very same events, framed
// exactly; no agent gets a descriptor of the service or a variable it must not see; and the
// service is left as it was (no agent, the same descriptors, able to run again).
#include "RunScenario.h"

#include "util/Text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>

using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

const std::string family =
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
const std::string flag = "\U0001F1EB\U0001F1F7"; // one cluster of two code points
// 1.9 MB whose cuts fall inside runs of clusters of several code points: families, then
// flags (where two regional indicators break depends on all those before them).
const std::string hugePrompt = [] {
    std::string text = times(family, 100);
    while (text.size() < 1'900'000)
        text += flag;
    return text;
}();
const json listing = {{"command", times(flag, 400)}, {"description", "List / files"}};
const std::string deltaLine = R"({"type":"stream_event","event":{"type":"content_block_delta",)"
                              R"("delta":{"type":"text_delta","text":")";
// Lines that look like text deltas but are none: no string for a text, a member that is not
// JSON, more after the object.
const std::string notDeltas = [] {
    std::string lines, start = deltaLine.substr(0, deltaLine.size() - 1);
    for (const char* text :
         {"null", "5", "[]", "{}", "true", "p\"\"", "\"x\", \"n\": tru", "\"x\", \"n\": [1,]"})
        lines += start + text + "}}}\n";
    return lines + deltaLine + "x\"}}}{\"more\": 1}\n" + deltaLine + "x\"}}} x\n";
}();

const Row rows[] = {
    {"AReplyStreamsIsStoredAndResumed",
     replying("Hello /\nthere."),
     {"message.delta", "message.delta", "run.completed"},
     completed("Hello /\nthere."),
     {},
     [](Play& play) {
         EXPECT_EQ(play.status(), (json{{"status", "completed"},
                                        {"output", "Hello /\nthere."},
                                        {"session_id", "s-1"},
                                        {"last_event", "run.completed"}}));
         EXPECT_NE(play.client.get("/v1/runs/" + play.run).raw.find(R"(Hello /\nthere.)"),
                   std::string::npos);
         // A finished run: a stop changes nothing, and there is nothing to steer or answer.
         EXPECT_EQ(play.post("stop").json(), ok);
         EXPECT_EQ(play.post("steer", {{"input", "more"}}).json(),
                   (json{{"error", "no such run"}}));
         auto late = play.post("approval", {{"choice", "once"}});
         EXPECT_EQ(late.status, 409);
         EXPECT_EQ(late.json(), (json{{"error", "nothing is waiting for approval"}}));
         EXPECT_EQ(play.status()["status"], "completed");
         json session = play.session();
         std::string id = session.value("id", "");
         EXPECT_TRUE(id.starts_with("pavix-")) << id;
         EXPECT_EQ(session["title"], "Say hello");
         EXPECT_EQ(session["source"], "workspace");
         EXPECT_EQ(play.messages(id, 2), json::parse(R"([{"role": "user", "content": "Say hello"},
             {"role": "assistant", "content": "Hello /\nthere."}])"));
         // The session's next run resumes Claude Code's own session, in the same folder.
         EXPECT_TRUE(play.runThrough({{"input", "Again"}, {"session_id", id}}));
         auto launches = play.bridge.launches();
         ASSERT_EQ(launches.size(), 3u); // the warm-up run's first
         const json &first = launches[1]["args"], &next = launches[2]["args"];
         EXPECT_EQ(argument(first, "--append-system-prompt"), "Be brief.");
         EXPECT_EQ(argument(first, "--setting-sources"), "project,local");
         EXPECT_EQ(argument(first, "--resume"), std::nullopt);
         EXPECT_EQ(argument(next, "--resume"), "s-1");
         EXPECT_EQ(argument(next, "--append-system-prompt"), std::nullopt);
         EXPECT_EQ(launches[2]["cwd"], launches[1]["cwd"]);
         const std::string path = launches[1]["env"]["PATH"];
         EXPECT_TRUE(path.starts_with("/opt/homebrew/bin:/usr/local/bin:" +
                                      play.bridge.home().path().string() + "/.local/bin:"))
             << path;
         EXPECT_EQ(recorded(play, "stdin", "text", 3), (Strings{"Warm up", "Say hello", "Again"}));
     },
     {{"input", " \n Say hello\t\n"}, {"instructions", "Be brief."}}},
    {"SteeringIsAnsweredWithinTheRunAndOneRunAtATime",
     {{"turns",
       {R"([{"init": true}, {"delta": "Working"}, {"await_input": true},
                     {"result": {"result": "first"}}])"_json,
        reply("second")}}},
     {"message.delta", "run.steered", "message.delta", "message.delta", "run.completed"},
     completed("second"),
     after("message.delta",
           [](Play& play) {
               json before = play.client.get("/api/sessions").json();
               auto busy = play.client.post("/v1/runs", {{"input", "Other"}, {"session_id", "x"}});
               EXPECT_EQ(busy.status, 409);
               EXPECT_EQ(busy.json()["error"], "Claude Code is still working on another task. "
                                               "Stop it or wait for it to finish.");
               EXPECT_EQ(play.client.get("/api/sessions").json(), before);
               for (json body : {json::object(), json{{"input", ""}}, json{{"input", 5}}}) {
                   auto refused = play.post("steer", body);
                   EXPECT_EQ(refused.status, 400) << body;
                   EXPECT_EQ(refused.json(), (json{{"error", "input is required"}}));
               }
               // Sent as written: white space alone is a message.
               EXPECT_EQ(play.post("steer", {{"input", " "}}).json(), ok);
           }),
     [](Play& play) {
         EXPECT_EQ(recorded(play, "stdin", "text", 3), (Strings{"Warm up", "Go", " "}));
         EXPECT_EQ(play.post("steer", {{"input", "late"}}).json(),
                   (json{{"error", "no such run"}}));
         // The steering message is no part of the conversation.
         EXPECT_EQ(play.messages(play.session()["id"], 2),
                   json::parse(R"([{"role": "user", "content": "Go"},
                                   {"role": "assistant", "content": "second"}])"));
         // Not in direct mode: Claude Code's own settings, and the API key passed on.
         json launch = play.bridge.launches().back();
         EXPECT_EQ(argument(launch["args"], "--setting-sources"), std::nullopt);
         EXPECT_EQ(launch["env"]["ANTHROPIC_API_KEY"], "secret");
     },
     {{"input", "Go"}},
     {},
     false},
    {"AnApprovalAnsweredOnceAndTextsCutByClusters",
     turn({{{"init", true}},
           {{"tool_use", {{"id", "t1"}, {"name", "Bash"}, {"input", listing}}}},
           {{"approve", {{"tool_use_id", "t1"}, {"tool_name", "Bash"}, {"input", listing}}}},
           {{"text", "Listed."}},
           {{"result", {{"result", "Listed."}}}}}),
     {"tool.started", "approval.request", "approval.responded", "tool.completed", "message.delta",
      "run.completed"},
     completed("Listed."),
     after("approval.request",
           [](Play& play) {
               // Only the words offered, as offered: another leaves the request waiting.
               for (const char* word : {"Once", "allow", "", "deny "})
                   EXPECT_EQ(play.post("approval", {{"choice", word}}).json(),
                             (json{{"error", "choice must be once, session or deny"}}));
               EXPECT_EQ(play.status()["status"], "waiting_for_approval");
               answer({{"choice", "once"}})(play);
           }),
     [](Play& play) {
         EXPECT_TRUE(
             play.event(0) ==
             (json{{"event", "tool.started"}, {"tool", "Bash"}, {"preview", times(flag, 300)}}));
         EXPECT_TRUE(play.event(1) == (json{{"event", "approval.request"},
                                            {"heading", "claude code wants to use Bash"},
                                            {"choices", {"once", "session", "deny"}},
                                            {"command", times(flag, 400)},
                                            {"description", "List / files"}}));
         EXPECT_EQ(play.event(2)["choice"], "once");
         EXPECT_EQ(play.event(3)["tool"], "Bash");
         EXPECT_EQ(play.event(3)["error"], false);
         EXPECT_GE(play.event(3)["duration"].get<double>(), 0.0);
         EXPECT_EQ(recorded(play, "approval", "behavior", 1), Strings{"allow"});
         EXPECT_TRUE(play.session()["title"] == times(family, 80));
         EXPECT_TRUE(play.session()["preview"] == times(family, 100) + times(flag, 60));
     },
     {{"input", hugePrompt}}},
    {"ASessionChoiceIsRememberedForItsToolAndNoChoiceDenies",
     turn(R"([{"init": true},
              {"approve": {"tool_use_id": "t1", "tool_name": "Bash", "input": {"command": "ls"}}},
              {"approve": {"tool_use_id": "t2", "tool_name": "Bash", "input": {"command": "rm"}}},
              {"tool_use": {"id": "t3", "name": "mcp__files__write", "input": {"file_path": "/a"}}},
              {"approve": {"tool_use_id": "t3", "tool_name": "mcp__files__write",
                           "input": {"file_path": "/a"}}},
              {"result": {"result": "Done."}}])"_json),
     {"approval.request", "approval.responded", "tool.started", "approval.request",
      "approval.responded", "tool.completed", "run.completed"},
     completed("Done."),
     [](Play& play, const json& event) {
         if (event["event"] == "approval.request")
             answer(play.count++ == 0 ? json{{"choice", "session"}} : json::object())(play);
     },
     [](Play& play) {
         EXPECT_EQ(play.event(1)["choice"], "session");
         EXPECT_EQ(play.event(3), json::parse(R"({"event": "approval.request",
             "heading": "claude code wants to use write", "choices": ["once", "session", "deny"],
             "description": "/a"})"));
         EXPECT_EQ(play.event(4)["choice"], "deny");
         EXPECT_EQ(play.event(5)["error"], true);
         EXPECT_EQ(recorded(play, "approval", "behavior", 3), (Strings{"allow", "allow", "deny"}));
     }},
    {"AStopWhileAnApprovalWaitsDeniesItAndCancels",
     turn(R"([{"init": true}, {"approve": {"on_deny": [{"sleep": 3600}]}}])"_json),
     {"approval.request", "approval.responded", "run.cancelled"},
     cancelled,
     after("approval.request", stop),
     [](Play& play) {
         EXPECT_EQ(play.event(1)["choice"], "deny");
         EXPECT_EQ(recorded(play, "signal", "signal", 1), Strings{"SIGINT"});
     }},
    {"TheAgentEndingWhileAnApprovalWaitsFailsTheRun",
     R"({"turns": [[{"init": true}, {"approve": {}}]],
         "on_sigterm": [{"stderr": "asked and died\n"}, {"exit": 3}]})"_json,
     {"approval.request", "approval.responded", "run.failed"},
     failed("asked and died"),
     after("approval.request",
           [](Play& play) { ::kill(play.bridge.launches().back()["pid"].get<pid_t>(), SIGTERM); }),
     [](Play& play) {
         EXPECT_EQ(play.event(1)["choice"], "deny");
         EXPECT_EQ(play.post("approval", {{"choice", "once"}}).status, 409);
     }},
    {"AnExitBeforeReadingInputFailsWithItsErrors",
     R"({"start": [{"stderr": "fatal: no configuration\n"}, {"exit": 2}]})"_json,
     {"run.failed"},
     failed("fatal: no configuration")},
    // Its errors are told even with a byte that is no UTF-8, which is replaced.
    {"AnInvalidByteInItsErrorsIsReplaced",
     R"({"start": [{"spawn": ["/bin/sh", "-c", "printf 'error: file \\377 not found\\n' >&2"]},
                   {"sleep": 0.5}, {"exit": 1}]})"_json,
     {"run.failed"},
     failed("error: file \uFFFD not found")},
    {"AnExitAfterInitFailsWithItsStatus",
     turn(R"([{"init": true}, {"exit": 1}])"_json),
     {"run.failed"},
     failed("Claude Code exited (1).")},
    {"AnExitRightAfterTheResultCompletesOnce",
     turn(
         R"([{"init": true}, {"text": "Done."}, {"result": {"result": "Done."}}, {"exit": 9}])"_json),
     {"message.delta", "run.completed"},
     completed("Done.")},
    {"AnErrorResultFailsWithItsText",
     turn(R"([{"init": true}, {"result": {"subtype": "error_during_execution", "result": "quota"}},
              {"stderr": "noise\n"}, {"exit": 1}])"_json),
     {"run.failed"},
     failed("quota")},
    {"AStopAnsweredByAResultCompletesTheRun",
     R"({"turns": [[{"init": true}, {"delta": "Busy"}, {"sleep": 3600}]],
         "on_sigint": [{"result": {"result": "made it"}}, {"exit": 0}]})"_json,
     {"message.delta", "run.completed"},
     completed("made it"),
     after("message.delta", stop)},
    // SIGINT, SIGTERM 3 s later, SIGKILL 5 s after that. A subscriber that goes away
    // meanwhile is let go at once, not at the run's end.
    {"AnAgentIgnoringInterruptAndTerminateIsKilled",
     R"({"turns": [[{"init": true}, {"spawn": ["sleep", "3600"]}, {"delta": "Busy"},
                    {"sleep": 3600}]], "on_sigint": "ignore", "on_sigterm": "ignore"})"_json,
     {"message.delta", "run.cancelled"},
     cancelled,
     after("message.delta",
           [](Play& play) {
               // Sockets only: the store may be writing its file meanwhile.
               auto sockets = [&] {
                   return std::ranges::count_if(openDescriptors(play.bridge.pid()), [](auto& d) {
                       return d.find("socket:") != d.npos;
                   });
               };
               auto before = sockets();
               play.client.events("/v1/runs/" + play.run + "/events").next();
               EXPECT_TRUE(eventually([&] { return sockets() == before; }));
               stop(play);
               // SIGTERM goes to its group: its helper ends while the agent, ignoring it, lives.
               EXPECT_TRUE(eventually([&] { return ended(spawnedPid(play)); }));
               EXPECT_FALSE(ended(agentPid(play)));
           }),
     [](Play& play) {
         EXPECT_EQ(recorded(play, "signal", "signal", 2), (Strings{"SIGINT", "SIGTERM"}));
     }},
    // Its output is all it can report on: with that closed, the service ends it, and its
    // end by a signal is told as a shell tells it.
    {"AnAgentClosingItsOutputIsEnded",
     turn(
         R"([{"init": true}, {"delta": "Partial"}, {"close_stdout": true}, {"sleep": 3600}])"_json),
     {"message.delta", "run.failed"},
     failed("Claude Code exited (143).")},
    {"AGrandchildHoldingTheOutputDoesNotHoldTheRun",
     turn(R"([{"init": true}, {"spawn": ["sleep", "60"]}, {"stderr": "gone, helper left\n"},
              {"exit": 3}])"_json),
     {"run.failed"},
     failed("gone, helper left"),
     {},
     [](Play& play) {
         // Ended by itself, it may have meant its helper to stay (as a server asked for).
         EXPECT_FALSE(ended(spawnedPid(play))) << "its process group is left alone";
         ::kill(spawnedPid(play), SIGKILL);
     }},
    // 8 MiB of it, and only the last 400 characters of its end told.
    {"AFloodOfErrorsKeepsItsTail",
     turn({{{"init", true}},
           {{"repeat", {{{"stderr", std::string(65536, '.')}}}}, {"times", 128}},
           {{"stderr", times("!", 450) + " out of memory\n"}},
           {{"exit", 1}}}),
     {"run.failed"},
     failed(times("!", 386) + " out of memory")},
    // Lines that are no messages (one whose text is half a surrogate pair, lines that look
    // like deltas) between deltas.
    {"GarbageIsSkipped",
     turn({{{"init", true}},
           {{"delta", "Still "}},
           {{"raw", deltaLine + "\\ud800\"}}}\n[1, 2]\nnot JSON\n\n{\"type\": 7}\n" + notDeltas}},
           {{"delta", "here."}},
           {{"result", json::object()}}}),
     {"message.delta", "message.delta", "run.completed"},
     completed(""),
     {},
     [](Play& play) {
         EXPECT_EQ(play.event(1)["delta"], "here.");
         EXPECT_EQ(play.status()["output"], "Still here.") << "an empty result keeps the text";
     }},
    // Steering must neither block the service nor pile up without end.
    {"SteeringAnAgentThatReadsNothingIsBounded",
     turn(R"([{"init": true}, {"delta": "Busy"}, {"sleep": 3600}])"_json),
     {},
     cancelled,
     after("message.delta",
           [](Play& play) {
               Response answer;
               while (
                   play.count < 40 &&
                   (answer = play.post("steer", {{"input", std::string(1500000, 's')}})).status ==
                       200)
                   ++play.count;
               EXPECT_EQ(answer.json()["error"], "Claude Code isn't taking more messages now. "
                                                 "Stop it or wait for it to finish.");
               EXPECT_GT(play.count, 0u);
               EXPECT_EQ(play.client.get("/health", false).status, 200);
               stop(play);
           }),
     [](Play& play) {
         EXPECT_EQ(std::count_if(play.texts.begin(), play.texts.end(),
                                 [](const auto& text) { return nameOf(text) == "run.steered"; }),
                   static_cast<std::ptrdiff_t>(play.count));
     }},
};

TEST_P(RunScenario, Plays) {
    const Row& row = GetParam();
    BridgeServer::Options options;
    options.settings = row.direct ? "direct" : "project";
    options.environment = {{"ANTHROPIC_API_KEY", "secret"}, {"CLAUDECODE", "1"}};
    BridgeServer bridge(options);
    ASSERT_TRUE(bridge.start());
    Play play(bridge);
    // The first run brings up what the service keeps for all later ones (its child watcher).
    ASSERT_TRUE(play.runThrough({{"input", "Warm up"}, {"session_id", "warm-up"}}));
    const auto descriptors = settledDescriptors(bridge.pid());

    json agent = row.agent;
    agent["session_id"] = agent.value("session_id", "s-1");
    bridge.setScenario(agent);
    play.run = startRun(play.client, row.start);
    const std::string path = "/v1/runs/" + play.run + "/events";
    auto events = play.client.events(path);
    std::unique_ptr<Events> midway;
    while (auto text = events.next()) {
        play.texts.push_back(*text);
        if (!midway) midway = std::make_unique<Events>(bridge.port(), path, bridge.key());
        if (json event = json::parse(*text, nullptr, false); row.act && event.is_object())
            row.act(play, event);
    }
    EXPECT_TRUE(events.ended()) << "the stream must end with the run";
    Strings names;
    for (const auto& text : play.texts) {
        EXPECT_TRUE(pavix::isValidUTF8(text) && text.find('\n') == std::string::npos &&
                    json::parse(text, nullptr, false).is_object())
            << text;
        names.push_back(nameOf(text));
    }
    EXPECT_TRUE(row.events.empty() || names == row.events) << testing::PrintToString(names);
    ASSERT_FALSE(play.texts.empty());
    EXPECT_EQ(json::parse(play.texts.back()), row.terminal);
    EXPECT_EQ(play.status()["status"], row.terminal["event"].get<std::string>().substr(4));

    // Joined midway, or after the end: the whole log, each event once.
    Strings all = play.texts;
    all.insert(all.end(), row.late.begin(), row.late.end());
    Strings seen = midway->rest();
    EXPECT_TRUE(seen == play.texts || seen == all) << seen.size() << " events";
    auto get = [&](const std::string& query, const std::string& header = "") {
        return play.client.exchange("GET " + path + query + " HTTP/1.1\r\nAuthorization: Bearer " +
                                    bridge.key() + "\r\n" + header + "\r\n");
    };
    // A client that has the last event is told to stop reconnecting.
    auto replay = [&](std::size_t after, bool ids = false) {
        if (after > 0 && after >= all.size())
            return std::string("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        std::string bytes = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: "
                            "no-cache\r\nConnection: close\r\n\r\n";
        for (std::size_t i = after; i < all.size(); ++i)
            bytes +=
                (ids ? "id: " + std::to_string(i + 1) + "\n" : "") + "data: " + all[i] + "\n\n";
        return bytes;
    };
    EXPECT_EQ(get(""), replay(0));
    // Resumed after an event's number: the query wins over the header; no number, no resume.
    EXPECT_EQ(get("?after=1", "Last-Event-ID: 0\r\n"), replay(1));
    EXPECT_EQ(get("", "Last-Event-ID: 1\r\n"), replay(1));
    EXPECT_EQ(get("?after=-1", "Last-Event-ID: x\r\n"), replay(0));
    EXPECT_EQ(get("?ids&after=" + std::to_string(all.size() - 1)), replay(all.size() - 1, true));
    EXPECT_EQ(get("?ids", "Last-Event-ID: " + std::to_string(all.size()) + "\r\n"),
              replay(all.size(), true));
    // Past the last event however many digits: nothing left to send.
    EXPECT_EQ(get("?after=18446744073709551616"), replay(all.size()));
    EXPECT_EQ(get("", "Last-Event-ID: 0" + std::string(40, '9') + "\r\n"), replay(all.size()));

    for (const auto& start : bridge.record("start")) // the version probe's too
        EXPECT_EQ(start["fds"], json({0, 1, 2})) << "a descriptor of the service leaked";
    for (const auto& launch : bridge.launches())
        for (const auto& [name, value] : launch["env"].items())
            EXPECT_FALSE(name.starts_with("CLAUDE") ||
                         (row.direct && name.starts_with("ANTHROPIC_")))
                << name;
    if (row.check) row.check(play);

    EXPECT_TRUE(eventually([&] { return childrenOf(bridge.pid()).empty(); })) << "an agent is left";
    bridge.setScenario(json::object());
    EXPECT_TRUE(play.runThrough({{"input", "Again"}, {"session_id", "warm-up"}}));
    EXPECT_TRUE(eventually([&] {
        return childrenOf(bridge.pid()).empty() && openDescriptors(bridge.pid()) == descriptors;
    })) << testing::PrintToString(openDescriptors(bridge.pid()));
}

INSTANTIATE_TEST_SUITE_P(Runs, RunScenario, ::testing::ValuesIn(rows),
                         [](const auto& info) { return info.param.name; });

// After each start the twenty newest finished runs stay reachable beside the new one.
TEST(Runs, TheTwentyNewestFinishedRunsAreKept) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    Strings ids;
    for (int i = 0; i < 22; ++i) {
        ids.push_back(startRun(client, {{"input", "hi"}}));
        if (i < 21) client.events("/v1/runs/" + ids.back() + "/events").rest();
    }
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(client.get("/v1/runs/" + ids[i]).status, i == 0 ? 404 : 200) << i;
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
    auto client = bridge.client();
    const std::string request = "GET /v1/runs/" + startRun(client, {{"input", "Go"}}) +
                                "/events?ids=1 HTTP/1.1\r\nAuthorization: Bearer " + bridge.key() +
                                "\r\n";
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                             "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
    {
        Connection phone(bridge.port());
        phone.send(request + "\r\n");
        std::string bytes;
        while (!bytes.ends_with("\n:\n") && !phone.peerClosed())
            bytes += phone.receiveSome(20s);
        EXPECT_EQ(bytes,
                  head + "id: 1\ndata: {\"delta\":\"One\",\"event\":\"message.delta\"}\n\n:\n");
    }
    // The agent is still asleep: the resumed stream is kept alive too, between whole events.
    EXPECT_EQ(std::regex_replace(client.exchange(request + "Last-Event-ID: 1\r\n\r\n", 30s),
                                 std::regex("\n(:\n)+"), "\n"),
              head + "id: 2\ndata: {\"delta\":\"Two\",\"event\":\"message.delta\"}\n\n" +
                  "id: 3\ndata: "
                  "{\"event\":\"run.completed\",\"output\":\"OneTwo\",\"session_id\":\"s-1\"}\n\n");
    EXPECT_EQ(client.exchange(request + "Last-Event-ID: 3\r\n\r\n"),
              "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
}

// Finished runs' events beyond what memory keeps move to unlinked files of the service's
// own, and are replayed from there byte for byte.
TEST(Runs, LargeFinishedRunsMoveToDiskAndStayReplayable) {
    BridgeServer bridge;
    bridge.setScenario(turn({{{"init", true}},
                             {{"repeat", {{{"delta", std::string(65536, 'x')}}}}, {"times", 400}},
                             {{"result", {{"result", "done"}}}}}));
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    auto events = [&](const std::string& run, const std::string& query = "") {
        return client.exchange("GET /v1/runs/" + run + "/events" + query +
                                   " HTTP/1.1\r\nAuthorization: Bearer " + bridge.key() +
                                   "\r\n\r\n",
                               60s);
    };
    Strings runs, first;
    for (int i = 0; i < 6; ++i) {
        runs.push_back(startRun(client, {{"input", "Go"}}));
        first.push_back(events(runs.back()));
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
    for (std::size_t i = 0; i < runs.size(); ++i)
        EXPECT_TRUE(events(runs[i]) == first[i]) << i;
    // Resumed from disk: the last delta and the end.
    const std::string& whole = first[0];
    const std::size_t lastTwo = whole.rfind("data: ", whole.rfind("data: ") - 1);
    EXPECT_TRUE(events(runs[0], "?after=399") ==
                whole.substr(0, whole.find("\r\n\r\n") + 4) + whole.substr(lastTwo));
    // Six runs of 26 MB each: most of it must be on disk (the sanitizers keep memory).
    EXPECT_TRUE(sanitized || bridge.statusKiB("VmRSS") < 128 << 10) << bridge.statusKiB("VmRSS");
}

// With the disk refusing their events, the oldest finished runs are forgotten instead, so
// that memory stays within its budget.
TEST(Runs, WithTheDiskRefusingEventsTheOldestFinishedRunsAreForgotten) {
    BridgeServer bridge;
    bridge.setScenario(turn({{{"init", true}},
                             {{"repeat", {{{"delta", std::string(65536, 'x')}}}}, {"times", 400}},
                             {{"result", {{"result", "done"}}}}}));
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

// Ended by its service manager, the service stops its run as a phone would, so that no
// agent or tool of it outlives it, and exits cleanly.
TEST(Runs, EndingTheServiceStopsItsRunFirst) {
    BridgeServer bridge;
    bridge.setScenario(turn(R"([{"init": true}, {"spawn": ["sleep", "600"]}, {"delta": "Working"},
                              {"sleep": 600}])"_json));
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    client.events("/v1/runs/" + startRun(client, {{"input", "Work"}}) + "/events").next();
    EXPECT_EQ(bridge.stop(), 0);
    EXPECT_EQ(bridge.record("signal", 1).at(0)["signal"], "SIGINT");
    EXPECT_EQ(bridge.record("exit", 1).size(), 1u) << "the agent must end before the service";
    EXPECT_TRUE(ended(bridge.record("spawn", 1).at(0)["pid"].get<pid_t>())) << "and its tools";
    EXPECT_NE(bridge.log().find("stopping (SIGTERM)"), std::string::npos) << bridge.log();
}

} // namespace
