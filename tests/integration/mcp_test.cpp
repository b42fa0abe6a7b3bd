#include "CannedHTTPServer.h"
#include "RunProgram.h"
#include "TempHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>

using namespace pavix::test;
using nlohmann::json;

namespace {

std::vector<json> replyLines(const std::string& out) {
    std::vector<json> replies;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        replies.push_back(json::parse(line));
    EXPECT_TRUE(out.empty() || out.back() == '\n') << out;
    return replies;
}

std::string callLine(const json& id, const std::string& tool, const json& input) {
    json message = {{"jsonrpc", "2.0"}, {"method", "tools/call"}};
    message["id"] = id;
    message["params"] = {{"name", "approve"},
                         {"arguments", {{"tool_name", tool}, {"input", input}}}};
    return message.dump();
}

json decision(const json& reply) {
    return json::parse(reply.at("result").at("content").at(0).at("text").get<std::string>());
}

const json denied = {{"behavior", "deny"}, {"message", "Denied from the pavix app."}};

/// A configuration with a known key on a port nobody uses: the mode must take its port
/// from the command line only.
void writeConfig(const TempHome& home, const std::string& key) {
    writeText(home.configFolder() / "bridge.json",
              json{{"port", 1}, {"key", key}, {"settings", "direct"}}.dump(), 0600);
}

std::string choiceAnswer(const std::string& choice) {
    return httpResponse("200 OK", json{{"choice", choice}}.dump());
}

} // namespace

TEST(MCPMode, EndsQuietlyWhenInputEndsAtOnce) {
    TempHome home;
    auto result = runBridge({"mcp"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    // The key is loaded, or created, before any message arrives.
    EXPECT_TRUE(std::filesystem::exists(home.configFolder() / "bridge.json"));
}

TEST(MCPMode, ASessionAsClaudeCodeRunsIt) {
    TempHome home;
    writeConfig(home, "the-key");
    CannedHTTPServer service(
        {choiceAnswer("allow"), choiceAnswer("deny"), httpResponse("200 OK", "<html>busy</html>")});
    RefusingPort proxy;
    const std::string proxyURL = "http://127.0.0.1:" + std::to_string(proxy.port());
    const json input = {{"command", "rm -rf /tmp/x"}, {"description", "Tidy up"}};

    std::string stdinText =
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})"
        "\r\n"
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
        "\n"
        R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"
        "\n" +
        callLine(2, "Bash", input) + "\n" + callLine("three", "Write", {{"path", "/a"}}) +
        "\r\n\n" + R"({"jsonrpc":"2.0","id":4,"method":"ping"})" + "\n" +
        callLine(nullptr, "Read", json::object()); // last line without a line feed

    auto result = runBridge({"mcp", "--run", "run_x", "--port", std::to_string(service.port())},
                            {{"http_proxy", proxyURL},
                             {"HTTP_PROXY", proxyURL},
                             {"ALL_PROXY", proxyURL},
                             {"all_proxy", proxyURL},
                             {"NO_PROXY", std::nullopt},
                             {"no_proxy", std::nullopt}},
                            stdinText);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");

    auto replies = replyLines(result.out);
    ASSERT_EQ(replies.size(), 6u) << result.out;
    EXPECT_EQ(replies[0]["id"], 0);
    EXPECT_EQ(replies[0]["result"]["protocolVersion"], "2025-03-26");
    EXPECT_EQ(replies[1]["id"], 1);
    EXPECT_EQ(replies[1]["result"]["tools"][0]["name"], "approve");
    EXPECT_EQ(replies[2]["id"], 2);
    EXPECT_EQ(decision(replies[2]), (json{{"behavior", "allow"}, {"updatedInput", input}}));
    EXPECT_EQ(replies[3]["id"], "three");
    EXPECT_EQ(decision(replies[3]), denied);
    EXPECT_TRUE(replies[5]["id"].is_null());
    EXPECT_EQ(decision(replies[5]), denied) << "an answer that is not JSON denies";

    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::vector<std::pair<std::string, json>> asked = {
        {"Bash", input}, {"Write", {{"path", "/a"}}}, {"Read", json::object()}};
    // Straight to the service, past the proxies, with the configured key and this run.
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].headers["authorization"], "Bearer the-key");
        EXPECT_EQ(
            json::parse(requests[i].body),
            (json{{"run", "run_x"}, {"tool_name", asked[i].first}, {"input", asked[i].second}}));
    }
}

namespace {

/// Sends one Bash approval through the mode, to a service that answers `answer`, and
/// returns the request the service got; the reply must be a denial.
RecordedRequest askedOnce(const std::vector<std::string>& extraArguments,
                          const std::string& answer) {
    CannedHTTPServer service({answer});
    std::vector<std::string> arguments = {"mcp", "--port", std::to_string(service.port())};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    auto result = runBridge(arguments, {}, callLine(1, "Bash", json::object()) + "\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    auto replies = replyLines(result.out);
    EXPECT_EQ(replies.size(), 1u);
    for (const json& reply : replies)
        EXPECT_EQ(decision(reply), denied);
    auto requests = service.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? RecordedRequest{} : requests[0];
}

} // namespace

TEST(MCPMode, WithoutAConfigurationTheKeyIsEmpty) {
    TempHome home;
    writeText(home.path() / "Library", "not a folder"); // the configuration cannot be created
    auto request = askedOnce({}, httpResponse("401 Unauthorized", R"({"error":"unauthorized"})"));
    EXPECT_EQ(request.headers["authorization"], "Bearer"); // "Bearer " before trimming
    EXPECT_EQ(json::parse(request.body)["run"], "");
}

TEST(MCPMode, ARunThatIsNotUTF8SendsNoBody) {
    TempHome home;
    writeConfig(home, "k");
    auto request = askedOnce({"--run", "r\xff"},
                             httpResponse("400 Bad Request", R"({"error":"bad request"})"));
    EXPECT_EQ(request.body, "");
}
