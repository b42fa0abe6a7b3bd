#include "bridge/Bridge.h"

#include "ApiCall.h"
#include "TempHome.h"

#include <gtest/gtest.h>

using namespace pavix;
using namespace pavix::test;
using nlohmann::json;

namespace {

const std::string key = "k3y-0123456789";

BridgeConfig configWithKey() {
    BridgeConfig config;
    config.key = key;
    return config;
}

class Routing : public ::testing::Test {
protected:
    TempHome home;
    boost::asio::io_context loop;
    Bridge bridge{loop.get_executor(), configWithKey(),
                  ClaudeInstallation{"/opt/claude/bin/claude", "2.0.14"}};

    HTTPResponse ask(HTTPRequest request) { return respond(loop, bridge, std::move(request)); }
    HTTPResponse ask(std::string method, std::string path, std::string body = "") {
        return ask(apiRequest(std::move(method), std::move(path), key, std::move(body)));
    }
};

void expectAnswer(const HTTPResponse& response, std::int64_t status, const json& body) {
    EXPECT_EQ(response.status(), status);
    EXPECT_EQ(bodyOf(response), body);
}

} // namespace

TEST(Route, MatchesSegmentsExactlyAndCapturesStars) {
    auto segments = Bridge::splitPath("//api/sessions//abc/messages/");
    EXPECT_EQ(segments, (std::vector<std::string>{"api", "sessions", "abc", "messages"}));
    EXPECT_EQ(Bridge::route("GET", "api/sessions/*/messages", "GET", segments),
              std::vector<std::string>{"abc"});
    EXPECT_EQ(Bridge::route("GET", "/api/jobs/", "GET", Bridge::splitPath("api//jobs")),
              std::vector<std::string>{});
    EXPECT_EQ(Bridge::route("GET", "a/*/*", "GET", Bridge::splitPath("/a/x/y")),
              (std::vector<std::string>{"x", "y"}));

    EXPECT_FALSE(Bridge::route("GET", "api/sessions/*/messages", "get", segments));
    EXPECT_FALSE(Bridge::route("POST", "api/sessions/*/messages", "GET", segments));
    EXPECT_FALSE(Bridge::route("GET", "api/sessions/*", "GET", segments));
    EXPECT_FALSE(Bridge::route("GET", "api/Sessions/*/messages", "GET", segments));
    // A star stands for exactly one non-empty segment.
    EXPECT_FALSE(Bridge::route("GET", "v1/runs/*", "GET", Bridge::splitPath("/v1/runs//")));
    EXPECT_TRUE(Bridge::splitPath("///").empty());
}

TEST(KeyComparison, EqualOnlyForIdenticalBytes) {
    EXPECT_TRUE(Bridge::equal("", ""));
    EXPECT_TRUE(Bridge::equal(key, key));
    EXPECT_FALSE(Bridge::equal(key, key.substr(0, key.size() - 1)));
    EXPECT_FALSE(Bridge::equal(key, key + "4"));
    EXPECT_FALSE(Bridge::equal("abc", "abd"));
    EXPECT_FALSE(Bridge::equal("xbc", "abc"));
    EXPECT_FALSE(Bridge::equal("", "a"));
    // Bytes that differ only in the high bit.
    EXPECT_FALSE(Bridge::equal("\x80", "\x00"));
}

TEST_F(Routing, HealthNeedsNoKeyButOnlyItsExactPathAndMethod) {
    expectAnswer(ask(apiRequest("GET", "/health")), 200,
                 {{"status", "ok"},
                  {"name", "pavix-bridge"},
                  {"claude_code", "2.0.14"},
                  {"signed_in", bodyOf(ask(apiRequest("GET", "/health")))["signed_in"]}});
    EXPECT_TRUE(bodyOf(ask(apiRequest("GET", "/health")))["signed_in"].is_boolean());
    expectAnswer(ask(apiRequest("GET", "/health", key)), 200,
                 bodyOf(ask(apiRequest("GET", "/health"))));

    // Anything else is an ordinary path: the key first, then no such endpoint.
    expectAnswer(ask(apiRequest("GET", "/health/")), 401, {{"error", "unauthorized"}});
    expectAnswer(ask("GET", "/health/"), 404, {{"error", "not found"}});
    expectAnswer(ask(apiRequest("POST", "/health")), 401, {{"error", "unauthorized"}});
    expectAnswer(ask("POST", "/health"), 404, {{"error", "not found"}});
    expectAnswer(ask("HEAD", "/health"), 404, {{"error", "not found"}});
}

TEST_F(Routing, HealthReportsMissingVersionAsNull) {
    Bridge without(loop.get_executor(), configWithKey(), ClaudeInstallation{});
    EXPECT_TRUE(
        bodyOf(respond(loop, without, apiRequest("GET", "/health")))["claude_code"].is_null());
}

TEST_F(Routing, EveryOtherEndpointNeedsTheExactKey) {
    const json unauthorized = {{"error", "unauthorized"}};
    expectAnswer(ask(apiRequest("GET", "/api/jobs")), 401, unauthorized);
    expectAnswer(ask(apiRequest("GET", "/api/jobs", "")), 401, unauthorized);
    expectAnswer(ask(apiRequest("GET", "/api/jobs", key.substr(0, key.size() - 1))), 401,
                 unauthorized);
    expectAnswer(ask(apiRequest("GET", "/api/jobs", key + "x")), 401, unauthorized);
    std::string lastByte = key;
    lastByte.back() = 'X';
    expectAnswer(ask(apiRequest("GET", "/api/jobs", lastByte)), 401, unauthorized);
    expectAnswer(ask(apiRequest("GET", "/api/jobs", "K3Y-0123456789")), 401, unauthorized);
    // Unknown paths reveal nothing without the key.
    expectAnswer(ask(apiRequest("GET", "/nowhere")), 401, unauthorized);

    auto otherScheme = apiRequest("GET", "/api/jobs");
    otherScheme.headers["authorization"] = "Basic " + key;
    expectAnswer(ask(otherScheme), 401, unauthorized);

    auto lowerCase = apiRequest("GET", "/api/jobs");
    lowerCase.headers["authorization"] = "bearer " + key;
    expectAnswer(ask(lowerCase), 200, {{"jobs", json::array()}});
    auto upperCase = apiRequest("GET", "/api/jobs");
    upperCase.headers["authorization"] = "BEARER   " + key + " ";
    expectAnswer(ask(upperCase), 200, {{"jobs", json::array()}});
}

TEST_F(Routing, TableAnswersAndNeverSays405) {
    expectAnswer(ask("GET", "/api/jobs"), 200, {{"jobs", json::array()}});
    expectAnswer(ask("GET", "api//jobs/"), 200, {{"jobs", json::array()}});
    expectAnswer(ask("GET", "/v1/toolsets"), 200, {{"data", json::array()}});
    expectAnswer(ask("PUT", "/api/jobs"), 404, {{"error", "not found"}});
    expectAnswer(ask("POST", "/v1/toolsets"), 404, {{"error", "not found"}});
    expectAnswer(ask("GET", "/API/jobs"), 404, {{"error", "not found"}});
    expectAnswer(ask("GET", "/api/jobs/extra"), 404, {{"error", "not found"}});
    expectAnswer(ask("GET", "/"), 404, {{"error", "not found"}});
    expectAnswer(ask("GET", "/v1/runs"), 404, {{"error", "not found"}});
    expectAnswer(ask("PATCH", "/api/sessions/x"), 404, {{"error", "not found"}});

    // Per-run paths reach their handler; the run id is the captured segment.
    for (auto [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"GET", "/v1/runs/abc/"},
                                                          {"GET", "/v1/runs/abc/events"},
                                                          {"POST", "/v1/runs/abc/approval"},
                                                          {"POST", "/v1/runs/abc/steer"},
                                                          {"POST", "/v1/runs/abc/stop"}})
        expectAnswer(ask(method, path), 404, {{"error", "no such run"}});
}

TEST_F(Routing, InternalApprovalNeedsKeyAndLoopbackPeer) {
    const json unauthorized = {{"error", "unauthorized"}};
    expectAnswer(ask(apiRequest("POST", "/internal/approve", std::nullopt, "{}", true)), 401,
                 unauthorized);
    expectAnswer(ask(apiRequest("POST", "/internal/approve", key, "{}", false)), 401, unauthorized);
    expectAnswer(ask(apiRequest("POST", "/internal/approve", key, R"({"run":"run_x"})", true)), 200,
                 {{"choice", "deny"}});
    // A non-loopback peer on other endpoints is fine.
    expectAnswer(ask(apiRequest("GET", "/api/jobs", key, "", false)), 200,
                 {{"jobs", json::array()}});
    // Loopback does not matter for a path that merely looks similar.
    expectAnswer(ask(apiRequest("GET", "/internal/approve", key, "", false)), 404,
                 {{"error", "not found"}});
}

TEST_F(Routing, RunStartChecksInstallationThenInput) {
    for (std::string body : {"", "not json", "[1,2]", "\"input\"", R"({"input": 5})",
                             R"({"input": " \n\t\u2028 "})", R"({"input": null})"}) {
        SCOPED_TRACE(body);
        expectAnswer(ask("POST", "/v1/runs", body), 400, {{"error", "input is required"}});
    }

    Bridge without(loop.get_executor(), configWithKey(), ClaudeInstallation{});
    const json notInstalled = {
        {"error",
         "Claude Code isn't installed on this Mac. Install the Claude app, then try again."}};
    expectAnswer(respond(loop, without, apiRequest("POST", "/v1/runs", key, "")), 409,
                 notInstalled);
    expectAnswer(respond(loop, without, apiRequest("POST", "/v1/runs", key, R"({"input":"hi"})")),
                 409, notInstalled);
}

TEST(BridgeStart, LogsWhereClaudeCodeIsOnce) {
    TempHome home;
    boost::asio::io_context loop;
    ::testing::internal::CaptureStderr();
    { Bridge found(loop.get_executor(), configWithKey(), {"/opt/claude", "1.2.3"}); }
    { Bridge missing(loop.get_executor(), configWithKey(), {}); }
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("] claude code: /opt/claude 1.2.3\n"), std::string::npos) << err;
    EXPECT_NE(err.find("] claude code: not found \n"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
}
