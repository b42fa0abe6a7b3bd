#include "bridge/Bridge.h"

#include "ApiCall.h"
#include "TempHome.h"

#include <gtest/gtest.h>

using namespace pavix;
using namespace pavix::test;
using nlohmann::json;

namespace {

const std::string key = "k3y-0123456789";
const json unauthorized = {{"error", "unauthorized"}}, notFound = {{"error", "not found"}},
           noSuchRun = {{"error", "no such run"}};

BridgeConfig configWithKey() {
    BridgeConfig config;
    config.key = key;
    return config;
}

class Routing : public ::testing::Test {
protected:
    TempHome home;
    boost::asio::io_context loop;
    Bridge bridge{loop.get_executor(), configWithKey(), {"/opt/claude/bin/claude", "2.0.14"}};

    json ask(HTTPRequest request, std::int64_t status) {
        auto response = respond(loop, bridge, std::move(request));
        EXPECT_EQ(response.status(), status);
        return bodyOf(response);
    }
    json ask(std::string method, std::string path, std::int64_t status, std::string body = "") {
        return ask(apiRequest(std::move(method), std::move(path), key, std::move(body)), status);
    }
};

} // namespace

TEST_F(Routing, HealthIsTheOnlyOpenEndpointAndOnlyAtItsExactPath) {
    json health = ask(apiRequest("GET", "/health"), 200);
    EXPECT_EQ(health, (json{{"status", "ok"},
                            {"name", "pavix-bridge"},
                            {"claude_code", "2.0.14"},
                            {"signed_in", health["signed_in"]}}));
    EXPECT_TRUE(health["signed_in"].is_boolean());
    EXPECT_EQ(ask(apiRequest("GET", "/health/"), 401), unauthorized);
    EXPECT_EQ(ask("GET", "/health/", 404), notFound);
    EXPECT_EQ(ask("POST", "/health", 404), notFound);

    Bridge missing(loop.get_executor(), configWithKey(), {});
    EXPECT_TRUE(
        bodyOf(respond(loop, missing, apiRequest("GET", "/health")))["claude_code"].is_null());
}

TEST_F(Routing, EveryOtherRequestNeedsTheExactKey) {
    std::string lastByte = key;
    lastByte.back() = 'X';
    for (std::optional<std::string> token :
         {std::optional<std::string>(), std::optional(key.substr(1)), std::optional(lastByte)})
        EXPECT_EQ(ask(apiRequest("GET", "/api/jobs", token), 401), unauthorized);
    EXPECT_EQ(ask(apiRequest("GET", "/nowhere"), 401), unauthorized);

    auto request = apiRequest("GET", "/api/jobs");
    request.headers["authorization"] = "Basic " + key;
    EXPECT_EQ(ask(request, 401), unauthorized);
    request.headers["authorization"] = "bEARER  " + key;
    EXPECT_EQ(ask(request, 200), (json{{"jobs", json::array()}}));
}

TEST_F(Routing, TableMatchesMethodAndPathOrAnswersNotFound) {
    EXPECT_EQ(ask("GET", "api//jobs/", 200), (json{{"jobs", json::array()}}));
    EXPECT_EQ(ask("GET", "/v1/toolsets", 200), (json{{"data", json::array()}}));
    for (auto [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"PUT", "/api/jobs"},
                                                          {"GET", "/API/jobs"},
                                                          {"GET", "/api/jobs/x"},
                                                          {"GET", "/v1/runs"}})
        EXPECT_EQ(ask(method, path, 404), notFound) << method << " " << path;
    for (auto [method, path] :
         std::vector<std::pair<std::string, std::string>>{{"GET", "/v1/runs/abc/"},
                                                          {"GET", "/v1/runs/abc/events"},
                                                          {"POST", "/v1/runs/abc/approval"},
                                                          {"POST", "/v1/runs/abc/steer"},
                                                          {"POST", "/v1/runs/abc/stop"}})
        EXPECT_EQ(ask(method, path, 404), noSuchRun) << method << " " << path;
}

TEST_F(Routing, InternalApprovalNeedsKeyAndLoopbackPeer) {
    EXPECT_EQ(ask(apiRequest("POST", "/internal/approve", std::nullopt, "{}", true), 401),
              unauthorized);
    EXPECT_EQ(ask(apiRequest("POST", "/internal/approve", key, "{}", false), 401), unauthorized);
    EXPECT_EQ(ask(apiRequest("POST", "/internal/approve", key, R"({"run":"r"})", true), 200),
              (json{{"choice", "deny"}}));
    EXPECT_EQ(ask(apiRequest("GET", "/api/jobs", key, "", false), 200)["jobs"], json::array());
}

TEST_F(Routing, RunStartChecksInstallationThenInput) {
    for (std::string body : {std::string("not json"), std::string(R"({"input": 5})"),
                             std::string(R"({"input": " \n\t\u2028 "})")}) {
        SCOPED_TRACE(body.substr(0, 40));
        EXPECT_EQ(ask("POST", "/v1/runs", 400, body), (json{{"error", "input is required"}}));
    }
    Bridge missing(loop.get_executor(), configWithKey(), {});
    auto response = respond(loop, missing, apiRequest("POST", "/v1/runs", key, "[]"));
    EXPECT_EQ(response.status(), 409);
    EXPECT_EQ(bodyOf(response)["error"],
              "Claude Code isn't installed on this Mac. Install the Claude app, then try again.");
}

TEST(BridgeStart, LogsWhereClaudeCodeIsOnce) {
    TempHome home;
    boost::asio::io_context loop;
    ::testing::internal::CaptureStderr();
    Bridge found(loop.get_executor(), configWithKey(), {"/opt/claude", "1.2.3"});
    Bridge missing(loop.get_executor(), configWithKey(), {});
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("] claude code: /opt/claude 1.2.3\n"), std::string::npos) << err;
    EXPECT_NE(err.find("] claude code: not found \n"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
}
