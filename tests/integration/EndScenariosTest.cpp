// Rows of the run scenarios (played by RunScenariosTest.cpp): how runs end. An agent that
// fails is told by its errors or its status, a stop interrupts it and ends what it left
// running, and a run ends once, however its result and its exit race.
#include "RunScenario.h"

#include <csignal>

using namespace pavix::test;

namespace {

// A tool that records the signal that ends it, in the agent's folder, once it is ready to:
// "up" is written after its traps are set.
const json helper = {
    {"spawn",
     {"sh", "-c",
      "trap 'echo INT >> helper; exit' INT; trap 'echo TERM >> helper; exit' TERM; "
      "echo up >> helper; while :; do sleep 1; done"}}};
std::string helperFile(Play& play) {
    return play.bridge.launches().back()["cwd"].get<std::string>() + "/helper";
}

// A subscriber that goes away is let go at once, not at the run's end; then a stop, whose
// SIGTERM goes to the agent's group: its helper ends while the agent, ignoring it, lives.
void leaveThenStop(Play& play) {
    // Sockets only: the store may be writing its file meanwhile.
    auto sockets = [&] {
        return std::ranges::count_if(openDescriptors(play.bridge.pid()),
                                     [](auto& d) { return d.find("socket:") != d.npos; });
    };
    auto before = sockets();
    play.client.events(play.path("events")).next();
    EXPECT_TRUE(eventually([&] { return sockets() == before; }));
    stop(play);
    EXPECT_TRUE(eventually([&] { return ended(spawnedPid(play)); }));
    EXPECT_FALSE(ended(agentPid(play)));
}

const Row rows[] = {
    // Its errors are told even with a byte that is no UTF-8, which is replaced.
    {.name = "AnExitBeforeReadingInputFailsWithItsErrors",
     .agent = R"({"start": [{"stderr": "fatal: "},
         {"spawn": ["/bin/sh", "-c", "printf 'file \\377 not found\\n' >&2"]},
         {"sleep": 0.5}, {"exit": 2}]})"_json,
     .terminal = failed("fatal: file \uFFFD not found")},
    {.name = "AnExitAfterInitFailsWithItsStatus",
     .agent = turn(R"([{"init": true}, {"exit": 1}])"_json),
     .terminal = failed("Claude Code exited (1).")},
    {.name = "AnErrorResultFailsWithItsText",
     .agent = turn(R"([{"init": true},
         {"result": {"subtype": "error_during_execution", "result": "quota"}},
         {"stderr": "noise\n"}, {"exit": 1}])"_json),
     .terminal = failed("quota")},
    // Its output is all it can report on: with that closed, the service ends it, and its
    // end by a signal is told as a shell tells it.
    {.name = "AnAgentClosingItsOutputIsEnded",
     .agent = turn(R"([{"init": true}, {"delta": "Partial"}, {"close_stdout": true},
                       {"sleep": 3600}])"_json),
     .events = {"message.delta"},
     .terminal = failed("Claude Code exited (143).")},
    {.name = "AGrandchildHoldingTheOutputDoesNotHoldTheRun",
     .agent = turn(R"([{"init": true}, {"spawn": ["sleep", "60"]},
                       {"stderr": "gone, helper left\n"}, {"exit": 3}])"_json),
     .terminal = failed("gone, helper left"),
     .check =
         [](Play& play) {
             // Ended by itself, it may have meant its helper to stay (as a server asked for).
             EXPECT_FALSE(ended(spawnedPid(play))) << "its process group is left alone";
             ::kill(spawnedPid(play), SIGKILL);
         }},
    // 8 MiB of it, and only the last 400 characters of its end told.
    {.name = "AFloodOfErrorsKeepsItsTail",
     .agent = turn({{{"init", true}},
                    {{"repeat", {{{"stderr", std::string(65536, '.')}}}}, {"times", 128}},
                    {{"stderr", times("!", 450) + " out of memory\n"}},
                    {{"exit", 1}}}),
     .terminal = failed(times("!", 386) + " out of memory")},
    {.name = "AStopAnsweredByAResultCompletesTheRun",
     .agent = R"({"turns": [[{"init": true}, {"delta": "Busy"}, {"sleep": 3600}]],
                  "on_sigint": [{"result": {"result": "made it"}}, {"exit": 0}]})"_json,
     .act = after("message.delta", stop),
     .events = {"message.delta"},
     .terminal = completed("made it")},
    // SIGINT, SIGTERM 3 s later, SIGKILL 5 s after that.
    {.name = "AnAgentIgnoringInterruptAndTerminateIsKilled",
     .agent = R"({"turns": [[{"init": true}, {"spawn": ["sleep", "3600"]}, {"delta": "Busy"},
                    {"sleep": 3600}]], "on_sigint": "ignore", "on_sigterm": "ignore"})"_json,
     .act = after("message.delta", leaveThenStop),
     .events = {"message.delta"},
     .terminal = cancelled,
     .check =
         [](Play& play) {
             EXPECT_EQ(recorded(play, "signal", "/signal", 2), (Strings{"SIGINT", "SIGTERM"}));
         }},
    // The interrupt goes to the agent alone, which ends without ending its tool; once it has
    // exited, the rest of its process group is ended.
    {.name = "AStopEndsTheToolsTheAgentLeftRunning",
     .agent = turn({{{"init", true}}, helper, {{"delta", "Busy"}}, {{"sleep", 3600}}}),
     .act = after("message.delta",
                  [](Play& play) {
                      // A helper stopped before it set its traps would tell nothing.
                      EXPECT_TRUE(eventually([&] { return readText(helperFile(play)) == "up\n"; }));
                      stop(play);
                  }),
     .events = {"message.delta"},
     .terminal = cancelled,
     .check =
         [](Play& play) {
             EXPECT_EQ(recorded(play, "signal", "/signal", 1), Strings{"SIGINT"});
             const auto file = helperFile(play);
             EXPECT_TRUE(eventually([&] { return readText(file) == "up\nTERM\n"; }))
                 << readText(file);
         }},
};

INSTANTIATE_TEST_SUITE_P(Ends, RunScenario, ::testing::ValuesIn(rows), rowName);

} // namespace
