// The real service under load on loopback: 200 subscribers of one long run while calls
// keep coming. Every subscriber must get the whole run, byte for byte, and afterwards the
// service must hold no more descriptors and no children than before. Leaks of memory are
// LeakSanitizer's to find.
#include "BridgeServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace pavix::test;

namespace {

// The deltas wait for a steering message, so that the first half of the subscribers are in
// before any event; the steering message's result ends the run.
json floodAfterASteer(std::size_t deltas) {
    json scenario = json::parse(R"({"session_id": "load", "turns": [[{"init": true},
        {"await_input": true}, {"repeat": [{"delta": "Hi! "}]}, {"result": {"result": "1"}}],
        [{"result": {"result": "steered"}}]]})");
    scenario["turns"][0][2]["times"] = deltas;
    return scenario;
}

// What every subscriber of that run gets.
std::string wholeStream(std::size_t deltas) {
    std::string expected =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: "
        "no-cache\r\nConnection: close\r\n\r\ndata: {\"event\":\"run.steered\"}\n\n";
    for (std::size_t i = 1; i <= deltas; ++i)
        expected += "data: {\"delta\":\"Hi! \",\"event\":\"message.delta\"}\n\n";
    return expected +
           "data: {\"event\":\"run.completed\",\"output\":\"steered\",\"session_id\":\"load\"}\n\n";
}

// Calls number `first`, `first + step`, ... below `calls`, a connection each, with and
// without the key, counted into `failed` unless answered in full.
void call(HTTPClient& client, const std::string& run, std::size_t first, std::size_t step,
          std::size_t calls, std::atomic<std::size_t>& failed) {
    for (std::size_t i = first; i < calls; i += step) {
        auto response = i % 2 ? client.get("/v1/runs/" + run) : client.get("/health", false);
        failed +=
            response.status != 200 || !response.json().contains(i % 2 ? "output" : "claude_code");
    }
}

} // namespace

TEST(Load, TwoHundredSubscribersGetTheWholeRunWhileCallsSucceed) {
    // Under AddressSanitizer everything runs several times slower: a tenth of the run and
    // of the calls keeps the test within CI's time; the subscribers are as many.
    const std::size_t subscribers = 200, callers = 4, deltas = sanitized ? 10'000 : 100'000,
                      calls = sanitized ? 1'000 : 10'000;
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    // The first run brings up what the service keeps for all runs (its child watcher).
    client.events("/v1/runs/" + startRun(client, {{"input", "Warm up"}}) + "/events").rest();
    const auto descriptors = settledDescriptors(bridge.pid());

    bridge.setScenario(floodAfterASteer(deltas));
    std::string run = startRun(client, {{"input", "Stream"}});
    const std::string expected = wholeStream(deltas);

    // The others join one by one while the first half of the events pass: each gets a
    // replay, then the live tail.
    std::atomic<std::size_t> progress{0}, ready{0}, deviant{0};
    auto follow = [&](std::size_t joinAt) {
        while (progress < joinAt)
            std::this_thread::sleep_for(1ms);
        Connection stream(bridge.port());
        stream.send("GET /v1/runs/" + run + "/events HTTP/1.1\r\nAuthorization: Bearer " +
                    bridge.key() + "\r\n\r\n");
        std::size_t at = 0;
        for (std::string chunk; !(chunk = stream.receiveSome(90s)).empty(); at += chunk.size()) {
            if (at == 0) ++ready;
            if (expected.compare(at, chunk.size(), chunk) != 0) break;
            if (joinAt == 0) progress = std::max<std::size_t>(progress, at + chunk.size());
        }
        if (at != expected.size() || !stream.peerClosed()) ++deviant;
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < subscribers; ++i)
        threads.emplace_back(follow, i < subscribers / 2
                                         ? 0
                                         : (i - subscribers / 2) * expected.size() / subscribers);
    EXPECT_TRUE(eventually([&] { return ready >= subscribers / 2; }));

    std::atomic<std::size_t> failed{0};
    for (std::size_t t = 0; t < callers; ++t)
        threads.emplace_back(call, std::ref(client), run, t, callers, calls, std::ref(failed));
    EXPECT_EQ(client.post("/v1/runs/" + run + "/steer", {{"input", "go"}}).status, 200);
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(deviant, 0u) << "subscribers that did not get the whole run";
    EXPECT_TRUE(eventually([&] { return openDescriptors(bridge.pid()) == descriptors; }));
    EXPECT_EQ(childrenOf(bridge.pid()), std::vector<pid_t>{});
}
