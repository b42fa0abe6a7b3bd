// What the run scenario tables share: a row (what the agent does, what the phone does
// meanwhile, and the events, status and record that must come of it), the play of one, and
// the phone's usual moves. RunScenariosTest.cpp plays every row of every table.
#pragma once

#include "BridgeServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace pavix::test {

using Strings = std::vector<std::string>;

inline const json ok = {{"ok", true}}, cancelled = {{"event", "run.cancelled"}};
inline json failed(const std::string& error) {
    return {{"event", "run.failed"}, {"error", error}};
}
inline json completed(const std::string& output) {
    return {{"event", "run.completed"}, {"output", output}, {"session_id", "s-1"}};
}
inline std::string times(const std::string& unit, int count) {
    return count > 0 ? unit + times(unit, count - 1) : "";
}
/// An agent that answers the first message with `steps`, and SIGINT as the real agent does.
inline json turn(const json& steps) {
    return {{"turns", {steps}}, {"on_sigint", interrupted()}};
}
inline std::string nameOf(const std::string& text) {
    json event = json::parse(text, nullptr, false);
    return event.is_object() ? event.value("event", "") : "";
}
inline std::optional<std::string> argument(const json& args, const std::string& name) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1].get<std::string>();
    return std::nullopt;
}

/// A row being played: the service, the run, and the events its first subscriber got.
struct Play {
    explicit Play(BridgeServer& bridge)
        : bridge(bridge)
        , client(bridge.client()) {}

    BridgeServer& bridge;
    HTTPClient client;
    std::string run;
    Strings texts;
    std::size_t count = 0; ///< what a row's phone counted

    std::string path(const std::string& what) const { return "/v1/runs/" + run + "/" + what; }
    Response post(const std::string& what, const json& body = json::object()) {
        return client.post(path(what), body);
    }
    json status() { return client.get("/v1/runs/" + run).json(); }
    /// A raw request for the run's events, with `header` lines; and the service's answer.
    std::string request(const std::string& query, const std::string& header = "") const {
        return "GET " + path("events") + query + " HTTP/1.1\r\nAuthorization: Bearer " +
               bridge.key() + "\r\n" + header + "\r\n";
    }
    std::string replay(const std::string& query, const std::string& header = "",
                       std::chrono::milliseconds limit = 10s) {
        return client.exchange(request(query, header), limit);
    }
    json event(std::size_t index) { return json::parse(texts.at(index)); }
    /// The latest session but the warm-up runs'.
    json session() {
        json sessions = client.get("/api/sessions").json()["data"];
        for (const json& session : sessions)
            if (session["id"] != "warm-up") return session;
        return nullptr;
    }
    /// A session's messages once there are `count` (a reply is recorded after the run).
    json messages(const std::string& session, std::size_t count) {
        json messages;
        eventually([&] {
            messages = client.get("/api/sessions/" + session + "/messages").json()["data"];
            return messages.size() >= count;
        });
        return messages;
    }
    /// Starts a run and follows it to its end; whether it completed.
    bool runThrough(const json& body) {
        auto texts = client.events("/v1/runs/" + startRun(client, body) + "/events").rest();
        return !texts.empty() && nameOf(texts.back()) == "run.completed";
    }
};

/// What the phone does on an event of the run.
using Act = std::function<void(Play&, const json& event)>;

inline const std::string streamHead = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                      "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";

/// A row's `events` when how many there are is no part of the scenario.
inline const Strings anyEvents = {"(any)"};

struct Row {
    std::string name;
    json agent; ///< the scenario; its "session_id" is "s-1" unless it says otherwise
    json start = {{"input", "Go"}};
    Act act = {};
    Strings events = {}; ///< the names of the events before the last, in order, or anyEvents
    json terminal;       ///< the last event, exactly
    std::function<void(Play&)> check = {};
    bool direct = true; ///< the configuration's "settings" is "direct"
};

inline void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

inline Act after(const std::string& name, std::function<void(Play&)> act) {
    return [=, done = std::make_shared<bool>(false)](Play& play, const json& event) {
        if (event["event"] == name && !std::exchange(*done, true)) act(play);
    };
}
inline void stop(Play& play) {
    EXPECT_EQ(play.post("stop").json(), ok);
}
inline std::function<void(Play&)> answer(json body) {
    return [=](Play& play) { EXPECT_EQ(play.post("approval", body).json(), ok); };
}
/// What the agents recorded of `kind`, at `pointer` in each entry.
inline Strings recorded(Play& play, const std::string& kind, const std::string& pointer,
                        std::size_t count) {
    Strings values;
    for (const auto& entry : play.bridge.record(kind, count))
        values.push_back(entry.value(json::json_pointer(pointer), "none"));
    return values;
}

/// The pid of the played run's agent, and of the first process an agent spawned.
inline pid_t agentPid(Play& play) {
    return play.bridge.launches().back()["pid"].get<pid_t>();
}
inline pid_t spawnedPid(Play& play) {
    return play.bridge.record("spawn", 1).at(0)["pid"].get<pid_t>();
}

class RunScenario : public ::testing::TestWithParam<Row> {};

inline std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

} // namespace pavix::test
