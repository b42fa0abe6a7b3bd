// Hostile requests sent to the real service: each is answered as if harmless or the
// connection is closed unanswered, and none of them changes what it must not.
#include "BridgeServer.h"

#include "util/Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

using namespace pavix::test;
using nlohmann::json;

namespace {

std::string nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// Everything the service answers to `bytes` sent before the end of sending; empty when
// it closed the connection without a response.
std::string answerTo(std::uint16_t port, const std::string& bytes) {
    Connection connection(port);
    connection.send(bytes);
    connection.shutdownWrite();
    std::string answer = connection.receiveAll(30s);
    EXPECT_TRUE(connection.peerClosed());
    return answer;
}

} // namespace

TEST(HostileInput, RequestsAreAnsweredSafelyOrClosedUnanswered) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    const std::string auth = "Authorization: Bearer " + bridge.key() + "\r\n";
    auto post = [&](const std::string& path, std::vector<std::string> lengths,
                    const std::string& body) {
        std::string request = "POST " + path + " HTTP/1.1\r\n" + auth;
        for (const auto& length : lengths)
            request += "Content-Length: " + length + "\r\n";
        return request + "\r\n" + body;
    };
    auto sized = [](const std::string& body) { return std::to_string(body.size()); };
    auto request = [&](const std::string& line) { return line + " HTTP/1.1\r\n" + auth + "\r\n"; };
    std::string manyLines;
    for (int i = 0; i < 100'000; ++i)
        manyLines += "X-" + std::to_string(i) + ": v\r\n";
    const std::string same = R"({"id":"same"})", split = R"({"id":"split"})";
    const std::string deep = R"({"id":"deep","x":)" + nested(512) + "}";
    const std::string deeper = R"({"id":"deeper","x":)" + nested(513) + "}";
    const std::string deepest = R"({"input":"x","x":)" + nested(400'000) + "}";
    const json inputRequired = {{"error", "input is required"}}, ok = {{"ok", true}};

    struct Case {
        std::string what, bytes;
        int status; ///< 0: closed without a response
        json body;  ///< null: not checked
    };
    for (const Case& c : std::vector<Case>{
             {"head not UTF-8", "GET /api/jobs HTTP/1.1\r\n" + auth + "X: \xc3\x28\r\n\r\n", 0,
              nullptr},
             {"100,000 header lines",
              "GET /api/jobs HTTP/1.1\r\n" + auth + manyLines + "\r\n",
              200,
              {{"jobs", json::array()}}},
             {"length beyond 64 bits",
              post("/v1/runs", {"18446744073709551616"}, R"({"input":"x"})"), 400, inputRequired},
             {"negative length", post("/api/sessions", {"-5"}, same), 0, nullptr},
             {"equal lengths",
              post("/api/sessions", {sized(same), "+" + sized(same)}, same),
              200,
              {{"session", {{"id", "same"}}}}},
             {"conflicting lengths", post("/api/sessions", {sized(split), "2"}, split), 0, nullptr},
             {"body not UTF-8", post("/v1/runs", {"13"}, "{\"input\":\"\xff\"}"), 400,
              inputRequired},
             {"nesting at the bound",
              post("/api/sessions", {sized(deep)}, deep),
              200,
              {{"session", {{"id", "deep"}}}}},
             {"nesting past the bound", post("/api/sessions", {sized(deeper)}, deeper), 200,
              nullptr},
             {"nesting far past the bound", post("/v1/runs", {sized(deepest)}, deepest), 400,
              inputRequired},
             {"escaped slash", request("DELETE /api/sessions/same%2F"), 200, ok},
             {"escaped slash as a route's own",
              request("GET /api%2Fjobs"),
              404,
              {{"error", "not found"}}},
             {"escaped NUL", request("DELETE /api/sessions/same%00"), 200, ok},
         }) {
        SCOPED_TRACE(c.what);
        auto response = parseResponse(answerTo(bridge.port(), c.bytes));
        EXPECT_EQ(response.status, c.status) << response.raw.substr(0, 200);
        if (!c.body.is_null()) {
            EXPECT_EQ(response.json(), c.body);
        }
    }

    // Neither an escaped separator nor a NUL reached another session; nothing read a
    // body two ways or past the nesting bound.
    std::set<std::string> ids;
    const json sessions = bridge.client().get("/api/sessions").json();
    for (const json& session : sessions["data"])
        ids.insert(session["id"].get<std::string>());
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_TRUE(ids.count("same") && ids.count("deep"));
    EXPECT_FALSE(ids.count("split") || ids.count("deeper"));
    // Nothing is named after what a request carries.
    for (const auto& entry : std::filesystem::directory_iterator(pavix::configFolder()))
        EXPECT_TRUE(entry.path().filename() == "bridge.json" ||
                    entry.path().filename() == "bridge-sessions.json" ||
                    entry.path().filename() == "workspace")
            << entry.path();
}
