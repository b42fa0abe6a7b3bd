#include "mcp/MCPApprove.h"

#include "CannedHTTPServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pavix;
using namespace pavix::test;
using nlohmann::json;

namespace {

std::string choiceAnswer(const std::string& choice) {
    return httpResponse("200 OK", json{{"choice", choice}}.dump());
}

std::string askAt(const std::string& port) {
    return MCPApprove::ask(port, "k", "r", "t", json::object());
}

} // namespace

TEST(MCPAsk, ApprovalURLTakesOnlyAPortNumber) {
    EXPECT_EQ(MCPApprove::approvalURL("8790"), "http://127.0.0.1:8790/internal/approve");
    EXPECT_EQ(MCPApprove::approvalURL("65535"), "http://127.0.0.1:65535/internal/approve");
    for (std::string port : {"", "65536", "123456", "+80", " 80", "0x50", "80/x", "80@evil",
                             "\xd9\xa1"}) // an Arabic-Indic digit
        EXPECT_EQ(MCPApprove::approvalURL(port), std::nullopt) << port;
}

TEST(MCPAsk, PostsTheQuestionWithTheKeyInOneGo) {
    CannedHTTPServer server({choiceAnswer("allow")});
    // Large enough that a client pausing for "Expect: 100-continue" would do so.
    const json input = {
        {"command", "ls /tmp"}, {"t", "é"}, {"content", std::string(1'500'000, 'z')}};
    EXPECT_EQ(MCPApprove::ask(std::to_string(server.port()), "k3y-_A", "run_1", "Bash", input),
              "allow");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/internal/approve");
    EXPECT_EQ(request.headers.at("host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(request.headers.at("authorization"), "Bearer k3y-_A");
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
    EXPECT_FALSE(request.headers.contains("expect"));
    EXPECT_EQ(json::parse(request.body),
              (json{{"run", "run_1"}, {"tool_name", "Bash"}, {"input", input}}));
    EXPECT_EQ(request.body.find('\n'), std::string::npos) << "compact";
}

TEST(MCPAsk, TheChoiceTextComesBackAsIsAndOnlyTheBodyDecides) {
    CannedHTTPServer server({choiceAnswer("allow_always"), choiceAnswer("something new"),
                             httpResponse("500 Internal Server Error", R"({"choice":"allow"})")});
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(askAt(port), "allow_always");
    EXPECT_EQ(askAt(port), "something new");
    EXPECT_EQ(askAt(port), "allow");
}

TEST(MCPAsk, UnusableAnswersDeny) {
    const std::vector<std::string> answers = {
        httpResponse("200 OK", "allow"),
        httpResponse("200 OK", R"({"choice":1})"),
        httpResponse("401 Unauthorized", R"({"error":"unauthorized"})"),
        "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n{\"choice\":\"allow\"}",
        "", // hangs up without answering
        "not http at all\r\n\r\n",
    };
    CannedHTTPServer server(answers);
    for (const std::string& answer : answers)
        EXPECT_EQ(askAt(std::to_string(server.port())), "deny") << answer;
    EXPECT_EQ(server.requests().size(), answers.size());
}

TEST(MCPAsk, UnreachableOrMalformedPortDenies) {
    RefusingPort refusing;
    EXPECT_EQ(askAt(std::to_string(refusing.port())), "deny");
    // A port text that would still reach a listener if it were pasted into the URL.
    CannedHTTPServer server({choiceAnswer("allow")});
    const std::string port = std::to_string(server.port());
    for (std::string bad : {port + "/x", " " + port})
        EXPECT_EQ(askAt(bad), "deny") << bad;
    EXPECT_TRUE(server.requests().empty());
}
