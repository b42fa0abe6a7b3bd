// Claude Code misbehaving in every way we could think of, against the real service: each
// fault must end its run once, the way the service promises, and leave the service as it
// was (answering, able to run again, no agent left, no descriptor kept).
#include "BridgeServer.h"

#include "util/Text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace pavix::test;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

std::string nameOf(const std::string& text) {
    json event = json::parse(text, nullptr, false);
    return event.is_object() ? event.value("event", "") : "";
}

struct Fault {
    std::string name;
    Scenario agent;
    /// Every event the run publishes, by name, in order (unchecked when empty).
    Strings names;
    json terminal;
    /// The event after which `act` runs (none: the run is left alone).
    std::string after = "";
    std::function<void(const std::string& run)> act = {};
};

class AgentFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bridge.start());
        // The first run brings up what the service keeps for all later ones.
        expectRunCompletes();
        ASSERT_TRUE(eventually([&] { return childrenOf(bridge.pid()).empty(); }));
        std::this_thread::sleep_for(200ms);
        descriptors = openDescriptors(bridge.pid()).size();
    }

    void expectRunCompletes() {
        bridge.setScenario(scenario::replying("Fine."));
        std::string run = startRun(client, {{"input", "Are you well?"}});
        auto events = client.events("/v1/runs/" + run + "/events");
        Strings texts = events.collect(SIZE_MAX, 30s);
        EXPECT_TRUE(!texts.empty() && nameOf(texts.back()) == "run.completed");
    }

    pid_t agentPid() { return bridge.runLaunches().back()["pid"]; }

    void expectHealthy() {
        EXPECT_EQ(client.get("/health", false).status, 200);
        expectRunCompletes();
        EXPECT_TRUE(eventually([&] { return childrenOf(bridge.pid()).empty(); }))
            << "an agent is left over";
        EXPECT_TRUE(eventually([&] { return openDescriptors(bridge.pid()).size() == descriptors; }))
            << openDescriptors(bridge.pid()).size() << " descriptors open, " << descriptors
            << " before";
    }

    /// Plays `fault` and checks its run and the service after it; the run's events.
    Strings play(const Fault& fault) {
        SCOPED_TRACE(fault.name);
        bridge.setScenario(fault.agent);
        std::string run = startRun(client, {{"input", "Go"}});
        auto events = client.events("/v1/runs/" + run + "/events");
        Strings texts;
        if (!fault.after.empty()) {
            while (auto text = events.next(20s)) {
                texts.push_back(*text);
                if (nameOf(*text) == fault.after) break;
            }
            EXPECT_FALSE(texts.empty() || nameOf(texts.back()) != fault.after);
            fault.act(run);
        }
        for (auto& text : events.collect(SIZE_MAX, 30s))
            texts.push_back(std::move(text));
        EXPECT_TRUE(events.ended()) << "the stream should close after the run's end";

        Strings names;
        for (const auto& text : texts) {
            EXPECT_TRUE(pavix::isValidUTF8(text));
            EXPECT_TRUE(json::parse(text, nullptr, false).is_object()) << text;
            names.push_back(nameOf(text));
        }
        if (!fault.names.empty()) {
            EXPECT_EQ(names, fault.names);
        }
        EXPECT_TRUE(!texts.empty() && json::parse(texts.back()) == fault.terminal)
            << (texts.empty() ? "no events" : texts.back());
        // The status word is the terminal event's name without "run.".
        EXPECT_EQ(client.get("/v1/runs/" + run).json()["status"],
                  fault.terminal["event"].get<std::string>().substr(4));
        expectHealthy();
        return texts;
    }

    BridgeServer bridge;
    HttpClient client = bridge.client();
    std::size_t descriptors = 0;
};

Scenario agent() {
    return Scenario().sessionId("faulty");
}

json failed(const std::string& error) {
    return {{"event", "run.failed"}, {"error", error}};
}
const json cancelled = {{"event", "run.cancelled"}};

} // namespace

TEST_F(AgentFaults, ACrashAtAnyStageEndsTheRunOnce) {
    auto signalAgent = [&](int number) {
        return [this, number](const std::string&) { ::kill(agentPid(), number); };
    };
    auto steer = [&](const std::string& run) {
        EXPECT_EQ(client.post("/v1/runs/" + run + "/steer", {{"input", "And?"}}).status, 200);
    };
    step::Approval bash;
    bash.input = {{"command", "make"}};
    Steps steered{step::init(), step::delta("Working"), step::awaitInput()};
    auto then = [](Steps steps, Steps more) {
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    const json completed = {
        {"event", "run.completed"}, {"output", "Done."}, {"session_id", "faulty"}};
    const Fault faults[] = {
        {"exit before reading its input",
         agent().atStart({step::toStderr("fatal: no configuration\n"), step::exit(2)}),
         {"run.failed"},
         failed("fatal: no configuration")},
        {"signal before reading its input",
         agent().atStart({step::die(SIGSEGV)}),
         {"run.failed"},
         failed("Claude Code exited (139).")},
        {"exit after init",
         agent().thenTurn({step::init(), step::exit(1)}),
         {"run.failed"},
         failed("Claude Code exited (1).")},
        {"signal amid streamed text",
         agent().thenTurn(
             {step::init(), step::delta("Hel"), step::delta("lo"), step::die(SIGABRT)}),
         {"message.delta", "message.delta", "run.failed"},
         failed("Claude Code exited (134).")},
        {"exit amid streamed text",
         agent().thenTurn({step::init(), step::delta("Hel"),
                           step::toStderr("Error: socket hang up\n"), step::exit(1)}),
         {"message.delta", "run.failed"},
         failed("Error: socket hang up")},
        {"exit while an approval waits",
         agent()
             .thenTurn({step::init(), step::approve(bash)})
             .set("on_sigterm", Steps{step::toStderr("asked and died\n"), step::exit(3)}),
         {"tool.started", "approval.request", "run.failed"},
         failed("asked and died"),
         "approval.request",
         signalAgent(SIGTERM)},
        {"exit after the result",
         agent().thenTurn(
             {step::init(), step::text("Done."), step::success("Done."), step::exit(9)}),
         {"message.delta", "run.completed"},
         completed},
        {"signal after the result",
         agent().thenTurn({step::init(), step::success("Done."), step::die(SIGKILL)}),
         {"run.completed"},
         completed},
        {"exit when steered",
         agent().thenTurn(then(steered, {step::toStderr("lost the thread\n"), step::exit(4)})),
         {"message.delta", "run.steered", "run.failed"},
         failed("lost the thread"),
         "message.delta",
         steer},
        {"signal when steered",
         agent().thenTurn(then(steered, {step::die(SIGKILL)})),
         {"message.delta", "run.steered", "run.failed"},
         failed("Claude Code exited (137)."),
         "message.delta",
         steer},
    };
    for (const auto& fault : faults)
        play(fault);
}

TEST_F(AgentFaults, AStuckAgentIsEndedAndTheServiceFreed) {
    auto stop = [&](const std::string& run) {
        EXPECT_EQ(client.post("/v1/runs/" + run + "/stop", json::object()).status, 200);
    };
    Steps closesOutput{step::init(), step::delta("Partial"), step::closeStdout(),
                       step::note("closed"), step::sleep(3600)};
    const Fault faults[] = {
        // Its output is all it can report on: closed, the run waits for nothing but the
        // end that the service then makes sure of.
        {"closes its output and lives on",
         agent().thenTurn(closesOutput),
         {"message.delta", "run.failed"},
         failed("Claude Code exited (143).")},
        {"closes its output and is stopped",
         agent().thenTurn(closesOutput),
         {"message.delta", "run.cancelled"},
         cancelled,
         "message.delta",
         [&](const std::string& run) {
             bridge.waitForRecord("note", 2);
             stop(run);
         }},
        // SIGINT, then SIGTERM 3 s later, then SIGKILL 5 s after that.
        {"ignores SIGINT and SIGTERM",
         agent()
             .thenTurn({step::init(), step::delta("Busy"), step::sleep(3600)})
             .ignoreSigint()
             .ignoreSigterm(),
         {"message.delta", "run.cancelled"},
         cancelled,
         "message.delta",
         stop},
        {"leaves a descendant holding its output",
         agent().thenTurn({step::init(), step::spawn({"sleep", "60"}),
                           step::toStderr("gone, helper left\n"), step::exit(3)}),
         {"run.failed"},
         failed("gone, helper left")},
    };
    for (const auto& fault : faults)
        play(fault);

    Strings signals;
    for (const auto& entry : recorded(bridge.recordFile(), "signal"))
        signals.push_back(entry["signal"]);
    EXPECT_EQ(signals, (Strings{"SIGINT", "SIGTERM"}))
        << "only the agent that ignores them notes them";
    for (const auto& spawned : recorded(bridge.recordFile(), "spawn"))
        ::kill(spawned["pid"].get<pid_t>(), SIGKILL);
}

TEST_F(AgentFaults, FloodsAndGarbageAreBoundedAndTheRunStillEndsRight) {
    // The last 400 characters of the standard error's end name the failure.
    const std::string last = std::string(450, '!') + " out of memory";
    // Lines shaped like messages whose text is not UTF-8 are no messages.
    const std::string badText = "{\"type\":\"stream_event\",\"event\":{\"type\":\"content_block_"
                                "delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"";
    Steps garbage{step::init(),
                  step::garbage(1 << 20),
                  step::raw("\n" + badText + "\xff\xfe\"}}}\n"),
                  step::raw(badText + "\xed\xa0\x80 \xc0\xaf\"}}}\n"),
                  step::raw(badText + "\\ud800\"}}}\n"),
                  step::delta("Still "),
                  step::garbage(64 << 10, 2),
                  step::raw("\n"),
                  step::delta("here."),
                  step::result()};
    std::size_t accepted = 0;
    const Fault faults[] = {
        {"floods its standard error",
         agent().thenTurn({step::init(), step::delta("Hi"), step::stderrFlood(32 << 20),
                           step::toStderr(last + "\n"), step::exit(1)}),
         {"message.delta", "run.failed"},
         failed(last.substr(last.size() - 400))},
        {"writes garbage and invalid UTF-8",
         agent().thenTurn(garbage),
         {"message.delta", "message.delta", "run.completed"},
         {{"event", "run.completed"}, {"output", ""}, {"session_id", "faulty"}}},
        // Steering must neither block the service nor pile up without end.
        {"never reads its input while steered",
         agent()
             .thenTurn({step::init(), step::delta("Busy"), step::sleep(3600)})
             .interruptLikeClaude(),
         {},
         cancelled,
         "message.delta",
         [&](const std::string& run) {
             const json big = {{"input", std::string(1500000, 's')}};
             HttpResponse answer;
             for (int i = 0; i < 40; ++i) {
                 answer = client.post("/v1/runs/" + run + "/steer", big);
                 if (answer.status != 200) break;
                 ++accepted;
             }
             EXPECT_EQ(answer.status, 409);
             EXPECT_EQ(answer.json(),
                       (json{{"error", "Claude Code isn't taking more messages now. Stop it or "
                                       "wait for it to finish."}}));
             EXPECT_GT(accepted, 0u);
             EXPECT_EQ(client.get("/health", false).status, 200);
             EXPECT_EQ(client.post("/v1/runs/" + run + "/stop", json::object()).status, 200);
         }},
    };
    play(faults[0]);
    Strings texts = play(faults[1]);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(json::parse(texts[0])["delta"], "Still ");
    EXPECT_EQ(json::parse(texts[1])["delta"], "here.");
    texts = play(faults[2]);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& text) { return nameOf(text) == "run.steered"; }),
              static_cast<std::ptrdiff_t>(accepted));
}
