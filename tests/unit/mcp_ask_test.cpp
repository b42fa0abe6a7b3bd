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

} // namespace

TEST(MCPAsk, ApprovalURLTakesOnlyAPortNumber) {
    EXPECT_EQ(MCPApprove::approvalURL("8790"), "http://127.0.0.1:8790/internal/approve");
    EXPECT_EQ(MCPApprove::approvalURL("1"), "http://127.0.0.1:1/internal/approve");
    EXPECT_EQ(MCPApprove::approvalURL("65535"), "http://127.0.0.1:65535/internal/approve");
    for (std::string port : {"", "65536", "99999", "123456", "-1", "+80", " 80", "80 ", "0x50",
                             "80/x", "80@evil", "80#", "8\n0", "\xd9\xa1"})
        EXPECT_EQ(MCPApprove::approvalURL(port), std::nullopt) << port;
}

TEST(MCPAsk, PostsTheQuestionWithTheKey) {
    CannedHTTPServer server({choiceAnswer("allow")});
    const json input = json::parse(R"({"command":"ls /tmp","n":[1,{"x":null}],"t":"é"})");
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
    EXPECT_FALSE(request.headers.contains("cookie"));
    EXPECT_EQ(json::parse(request.body),
              (json{{"run", "run_1"}, {"tool_name", "Bash"}, {"input", input}}));
    EXPECT_EQ(request.body.find('\n'), std::string::npos) << "compact";
}

TEST(MCPAsk, LargeInputGoesOutAtOnce) {
    CannedHTTPServer server({choiceAnswer("allow")});
    const json input = {{"content", std::string(1'500'000, 'z')}};
    EXPECT_EQ(MCPApprove::ask(std::to_string(server.port()), "k", "", "Write", input), "allow");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    // No "Expect: 100-continue" pause before the body.
    EXPECT_FALSE(requests[0].headers.contains("expect"));
    EXPECT_EQ(json::parse(requests[0].body)["input"], input);
}

TEST(MCPAsk, TheChoiceTextComesBackAsIs) {
    const std::vector<std::string> choices = {"deny", "allow_always", "", "something new"};
    std::vector<std::string> answers;
    for (const std::string& choice : choices)
        answers.push_back(choiceAnswer(choice));
    // The status is not looked at: only the body decides.
    answers.push_back(httpResponse("500 Internal Server Error", R"({"choice":"allow"})"));
    CannedHTTPServer server(answers);
    for (const std::string& choice : choices)
        EXPECT_EQ(MCPApprove::ask(std::to_string(server.port()), "k", "r", "t", json::object()),
                  choice);
    EXPECT_EQ(MCPApprove::ask(std::to_string(server.port()), "k", "r", "t", json::object()),
              "allow");
    EXPECT_EQ(server.requests().size(), choices.size() + 1);
}

TEST(MCPAsk, UnusableAnswersDeny) {
    const std::vector<std::string> answers = {
        httpResponse("200 OK", "allow"),
        httpResponse("200 OK", R"(["allow"])"),
        httpResponse("200 OK", R"({"choice":1})"),
        httpResponse("200 OK", R"({"choice":null})"),
        httpResponse("200 OK", R"({"choice":"allow")"),
        httpResponse("200 OK", ""),
        httpResponse("401 Unauthorized", R"({"error":"unauthorized"})"),
        "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n{\"choice\":\"allow\"}",
        "", // hangs up without answering
        "not http at all\r\n\r\n",
    };
    CannedHTTPServer server(answers);
    for (std::size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(MCPApprove::ask(std::to_string(server.port()), "k", "r", "t", json::object()),
                  "deny")
            << answers[i];
    EXPECT_EQ(server.requests().size(), answers.size());
}

TEST(MCPAsk, UnreachableOrMalformedPortDenies) {
    RefusingPort refusing;
    EXPECT_EQ(MCPApprove::ask(std::to_string(refusing.port()), "k", "r", "t", json::object()),
              "deny");
    // A port text that would still reach a listener if it were pasted into the URL.
    CannedHTTPServer server({choiceAnswer("allow")});
    const std::string port = std::to_string(server.port());
    for (std::string bad : {port + "/x", port + "?", port + "#", " " + port, port + "0000"})
        EXPECT_EQ(MCPApprove::ask(bad, "k", "r", "t", json::object()), "deny") << bad;
    EXPECT_TRUE(server.requests().empty());
}
