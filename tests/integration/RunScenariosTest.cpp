// Runs through the real service and the fake agent, one scenario a row: what the agent
// does, what the phone does meanwhile, and the events, status and record that must come of
// it. The rows are here (replies and steering) and in the other *ScenariosTest.cpp files.
// Every row also checks what every run promises: one terminal event that ends the stream;
// a subscriber that joins midway or after the end gets the very same events, framed
// exactly; no agent gets a descriptor of the service or a variable it must not see; and the
// service is left as it was (no agent, the same descriptors, able to run again).
#include "RunScenario.h"

#include "util/Text.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pavix::test;

namespace {

// Plays the row's run to its end as its first subscriber, acting on each event; a second
// subscriber joins once the first event is out, and is returned.
std::unique_ptr<Events> follow(Play& play, const Row& row) {
    json agent = row.agent;
    agent["session_id"] = agent.value("session_id", "s-1");
    play.bridge.setScenario(agent);
    play.run = startRun(play.client, row.start);
    auto events = play.client.events(play.path("events"));
    std::unique_ptr<Events> midway;
    while (auto text = events.next()) {
        play.texts.push_back(*text);
        if (!midway)
            midway = std::make_unique<Events>(play.bridge.port(), play.path("events"),
                                              play.bridge.key());
        if (json event = json::parse(*text, nullptr, false); row.act && event.is_object())
            row.act(play, event);
    }
    EXPECT_TRUE(events.ended()) << "the stream must end with the run";
    return midway;
}

// Each event one line of JSON in UTF-8, the row's events in order, the terminal one last.
void checkEvents(Play& play, const Row& row) {
    ASSERT_FALSE(play.texts.empty());
    Strings names;
    for (const auto& text : play.texts) {
        EXPECT_TRUE(pavix::isValidUTF8(text) && text.find('\n') == std::string::npos &&
                    json::parse(text, nullptr, false).is_object())
            << text;
        names.push_back(nameOf(text));
    }
    names.pop_back();
    EXPECT_TRUE(row.events == anyEvents || names == row.events) << testing::PrintToString(names);
    EXPECT_EQ(json::parse(play.texts.back()), row.terminal);
    EXPECT_EQ(play.status()["status"], row.terminal["event"].get<std::string>().substr(4));
}

// Joined midway, after the end, or resumed after an event: the whole log from there, each
// event once, framed exactly.
void checkReplays(Play& play, Events& midway) {
    const Strings& all = play.texts;
    EXPECT_TRUE(midway.rest() == all) << "a subscriber that joined midway";
    // A client that has the last event is told to stop reconnecting.
    auto replay = [&](std::size_t after, bool ids = false) {
        if (after > 0 && after >= all.size())
            return std::string("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        std::string bytes = streamHead;
        for (std::size_t i = after; i < all.size(); ++i)
            bytes +=
                (ids ? "id: " + std::to_string(i + 1) + "\n" : "") + "data: " + all[i] + "\n\n";
        return bytes;
    };
    EXPECT_EQ(play.replay(""), replay(0));
    // The query wins over the header; no number, no resume.
    EXPECT_EQ(play.replay("?after=1", "Last-Event-ID: 0\r\n"), replay(1));
    EXPECT_EQ(play.replay("", "Last-Event-ID: 1\r\n"), replay(1));
    EXPECT_EQ(play.replay("?after=-1", "Last-Event-ID: x\r\n"), replay(0));
    EXPECT_EQ(play.replay("?ids&after=" + std::to_string(all.size() - 1)),
              replay(all.size() - 1, true));
    EXPECT_EQ(play.replay("?ids", "Last-Event-ID: " + std::to_string(all.size()) + "\r\n"),
              replay(all.size(), true));
    // Past the last event however many digits: nothing left to send.
    EXPECT_EQ(play.replay("?after=18446744073709551616"), replay(all.size()));
    EXPECT_EQ(play.replay("", "Last-Event-ID: 0" + std::string(40, '9') + "\r\n"),
              replay(all.size()));
}

// No agent, nor the version probe, got a descriptor of the service or a variable it must
// not see.
void checkLaunches(Play& play, const Row& row) {
    for (const auto& start : play.bridge.record("start"))
        EXPECT_EQ(start["fds"], json({0, 1, 2})) << "a descriptor of the service leaked";
    for (const auto& launch : play.bridge.launches())
        for (const auto& [name, value] : launch["env"].items())
            EXPECT_FALSE(name.starts_with("CLAUDE") ||
                         (row.direct && name.starts_with("ANTHROPIC_")))
                << name;
}

// No agent is left, and the service runs again and holds what it held before.
void checkServiceAsItWas(Play& play, const std::vector<std::string>& descriptors) {
    const pid_t service = play.bridge.pid();
    EXPECT_TRUE(eventually([&] { return childrenOf(service).empty(); })) << "an agent is left";
    play.bridge.setScenario(json::object());
    EXPECT_TRUE(play.runThrough({{"input", "Again"}, {"session_id", "warm-up"}}));
    EXPECT_TRUE(eventually([&] {
        return childrenOf(service).empty() && openDescriptors(service) == descriptors;
    })) << testing::PrintToString(openDescriptors(service));
}

} // namespace

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
    auto midway = follow(play, row);
    checkEvents(play, row);
    ASSERT_TRUE(midway);
    checkReplays(play, *midway);
    checkLaunches(play, row);
    if (row.check) row.check(play);
    checkServiceAsItWas(play, descriptors);
}

namespace {

const std::string deltaLine = R"({"type":"stream_event","event":{"type":"content_block_delta",)"
                              R"("delta":{"type":"text_delta","text":")";
// Lines that look like text deltas but are none: no string for a text, a member that is not
// JSON, more after the object.
const std::string notDeltas = [] {
    std::string lines;
    for (const char* text : {"null", "5", "[]", "{}", "true", "p\"\"", "\"x\", \"n\": tru",
                             "\"x\", \"n\": [1,]", "\"x\"}}}{\"more\": 1", "\"x\"}}} x"})
        lines += deltaLine.substr(0, deltaLine.size() - 1) + text + "}}}\n";
    return lines;
}();

// A finished run's status and session, and its session's next run.
void checkStoredAndResumed(Play& play) {
    EXPECT_EQ(play.status(), (json{{"status", "completed"},
                                   {"output", "Hello /\nthere."},
                                   {"session_id", "s-1"},
                                   {"last_event", "run.completed"}}));
    EXPECT_NE(play.client.get("/v1/runs/" + play.run).raw.find(R"(Hello /\nthere.)"),
              std::string::npos);
    // A finished run: a stop changes nothing, and there is nothing to steer or answer.
    EXPECT_EQ(play.post("stop").json(), ok);
    EXPECT_EQ(play.post("steer", {{"input", "more"}}).json(), (json{{"error", "no such run"}}));
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
    EXPECT_TRUE(path.starts_with(
        "/opt/homebrew/bin:/usr/local/bin:" + play.bridge.home().path().string() + "/.local/bin:"))
        << path;
    EXPECT_EQ(recorded(play, "stdin", "/text", 3), (Strings{"Warm up", "Say hello", "Again"}));
}

// Steering messages that are none, while the run works.
void steerWhileBusy(Play& play) {
    for (json body : {json::object(), json{{"input", ""}}, json{{"input", 5}}}) {
        auto refused = play.post("steer", body);
        EXPECT_EQ(refused.status, 400) << body;
        EXPECT_EQ(refused.json(), (json{{"error", "input is required"}}));
    }
    // Sent as written: white space alone is a message.
    EXPECT_EQ(play.post("steer", {{"input", " "}}).json(), ok);
}

// Steering until the agent's input is full, which must neither block the service nor pile
// up without end.
void steerUntilRefused(Play& play) {
    Response answer;
    while (play.count < 40 &&
           (answer = play.post("steer", {{"input", std::string(1500000, 's')}})).status == 200)
        ++play.count;
    EXPECT_EQ(answer.json()["error"], "Claude Code isn't taking more messages now. "
                                      "Stop it or wait for it to finish.");
    EXPECT_GT(play.count, 0u);
    EXPECT_EQ(play.client.get("/health", false).status, 200);
    stop(play);
}

const Row rows[] = {
    {.name = "AReplyStreamsIsStoredAndResumed",
     .agent = replying("Hello /\nthere."),
     .start = {{"input", " \n Say hello\t\n"}, {"instructions", "Be brief."}},
     .events = {"message.delta", "message.delta"},
     .terminal = completed("Hello /\nthere."),
     .check = checkStoredAndResumed},
    {.name = "SteeringIsAnsweredWithinTheRun",
     .agent = {{"turns",
                {R"([{"init": true}, {"delta": "Working"}, {"await_input": true},
                     {"result": {"result": "first"}}])"_json,
                 reply("second")}}},
     .act = after("message.delta", steerWhileBusy),
     .events = {"message.delta", "run.steered", "message.delta", "message.delta"},
     .terminal = completed("second"),
     .check =
         [](Play& play) {
             EXPECT_EQ(recorded(play, "stdin", "/text", 3), (Strings{"Warm up", "Go", " "}));
             // The steering message is no part of the conversation.
             EXPECT_EQ(play.messages(play.session()["id"], 2),
                       json::parse(R"([{"role": "user", "content": "Go"},
                                       {"role": "assistant", "content": "second"}])"));
             // Not in direct mode: Claude Code's own settings, and the API key passed on.
             json launch = play.bridge.launches().back();
             EXPECT_EQ(argument(launch["args"], "--setting-sources"), std::nullopt);
             EXPECT_EQ(launch["env"]["ANTHROPIC_API_KEY"], "secret");
         },
     .direct = false},
    {.name = "SteeringAnAgentThatReadsNothingIsBounded",
     .agent = turn(R"([{"init": true}, {"delta": "Busy"}, {"sleep": 3600}])"_json),
     .act = after("message.delta", steerUntilRefused),
     .events = anyEvents, // as many steered events as it took
     .terminal = cancelled,
     .check =
         [](Play& play) {
             EXPECT_EQ(
                 std::ranges::count_if(
                     play.texts, [](const auto& text) { return nameOf(text) == "run.steered"; }),
                 static_cast<std::ptrdiff_t>(play.count));
         }},
    // Lines that are no messages (one whose text is half a surrogate pair, lines that look
    // like deltas) between deltas; an exit racing the result.
    {.name = "GarbageIsSkippedAndAnExitRightAfterTheResultCompletes",
     .agent = turn(
         {{{"init", true}},
          {{"delta", "Still "}},
          {{"raw", deltaLine + "\\ud800\"}}}\n[1, 2]\nnot JSON\n\n{\"type\": 7}\n" + notDeltas}},
          {{"delta", "here."}},
          {{"result", json::object()}},
          {{"exit", 9}}}), // right after the result, which ends the run once
     .events = {"message.delta", "message.delta"},
     .terminal = completed(""),
     .check =
         [](Play& play) {
             EXPECT_EQ(play.event(1)["delta"], "here.");
             EXPECT_EQ(play.status()["output"], "Still here.") << "an empty result keeps the text";
         }},
};

INSTANTIATE_TEST_SUITE_P(Replies, RunScenario, ::testing::ValuesIn(rows), rowName);

} // namespace
