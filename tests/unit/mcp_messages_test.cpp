#include "mcp/MCPApprove.h"
#include "util/Json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pavix;
using nlohmann::json;

namespace {

/// Stands in for the service: records each question and gives a fixed choice.
struct FakePerson {
    explicit FakePerson(std::string choice = "allow")
        : choice(std::move(choice)) {}

    std::string choice;
    std::vector<std::pair<std::string, json>> questions;

    MCPApprove::Asker asker() {
        return [this](const std::string& tool, const json& input) {
            questions.emplace_back(tool, input);
            return choice;
        };
    }
};

json replyTo(const std::string& line, FakePerson& person) {
    std::optional<std::string> reply = MCPApprove::handleMessage(line, person.asker());
    if (!reply) {
        ADD_FAILURE() << "no reply to " << line;
        return nullptr;
    }
    EXPECT_EQ(reply->find('\n'), reply->size() - 1) << "one line, LF-terminated: " << *reply;
    return json::parse(*reply);
}

json replyTo(const std::string& line) {
    FakePerson person;
    return replyTo(line, person);
}

/// The decision text a tools/call reply carries.
std::string decisionOf(const json& reply) {
    const json& content = reply.at("result").at("content");
    EXPECT_EQ(content.size(), 1u);
    EXPECT_EQ(content[0].at("type"), "text");
    EXPECT_FALSE(reply.at("result").contains("isError"));
    return content[0].at("text").get<std::string>();
}

} // namespace

TEST(MCPMessages, LinesThatGetNoAnswer) {
    FakePerson person;
    for (std::string line : {
             "", "not json",
             R"({"id":1,"method":"ping")",    // cut short
             R"([{"id":1,"method":"ping"}])", // a batch
             "42", R"({"id":1})", R"({"id":1,"method":7})",
             R"({"method":"ping"})", // notifications
             R"({"method":"tools/call","params":{"arguments":{"tool_name":"Bash","input":{}}}})",
             "{\"id\":\"\xff\",\"method\":\"ping\"}", // not UTF-8
             R"({"id":"\ud800","method":"ping"})",    // lone surrogate
         })
        EXPECT_EQ(MCPApprove::handleMessage(line, person.asker()), std::nullopt) << line;
    // A notification is never acted on, not even a tool call.
    EXPECT_TRUE(person.questions.empty());
}

TEST(MCPMessages, ReplyIsCompactAndEchoesTheIdWithItsType) {
    FakePerson person;
    EXPECT_EQ(
        MCPApprove::handleMessage(R"({"jsonrpc":"2.0","id":1,"method":"ping"})", person.asker()),
        "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
    for (const json& id : {json(nullptr), json("7"), json(2.5), json(18446744073709551615ull),
                           json::parse(R"({"a":[1,"b"]})")}) {
        json message = {{"method", "ping"}};
        message["id"] = id;
        json reply = replyTo(message.dump());
        ASSERT_TRUE(reply.contains("id")) << id;
        EXPECT_EQ(reply["id"], id);
        EXPECT_STREQ(reply["id"].type_name(), id.type_name()) << id;
    }
}

TEST(MCPMessages, InitializeEchoesOnlyATextProtocolVersion) {
    json expected = json::parse(R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{}},
                                    "serverInfo":{"name":"pavix","version":"1.0"}})");
    EXPECT_EQ(replyTo(R"({"id":1,"method":"initialize","params":{"protocolVersion":5}})")["result"],
              expected);
    expected["protocolVersion"] = "2024-11-05";
    EXPECT_EQ(replyTo(R"({"id":1,"method":"initialize",
                          "params":{"protocolVersion":"2024-11-05","capabilities":{}}})")["result"],
              expected);
}

TEST(MCPMessages, ToolsListOffersTheOneApproveTool) {
    EXPECT_EQ(replyTo(R"({"id":"l","method":"tools/list","params":{"cursor":"x"}})")["result"],
              json::parse(R"({"tools":[{
                  "name":"approve",
                  "description":"Asks the person, on their pavix phone app, to approve a tool call.",
                  "inputSchema":{"type":"object",
                                 "properties":{"tool_name":{"type":"string"},
                                               "input":{"type":"object"},
                                               "tool_use_id":{"type":"string"}},
                                 "required":["tool_name","input"]}}]})"));
}

TEST(MCPMessages, ToolsCallWithoutUsableArgumentsAsksAboutToolWithEmptyInput) {
    for (std::string line : {
             R"({"id":1,"method":"tools/call"})",
             R"({"id":1,"method":"tools/call","params":{"arguments":{"tool_name":3,"input":[1]}}})",
         }) {
        FakePerson person;
        EXPECT_EQ(decisionOf(replyTo(line, person)), R"({"behavior":"allow","updatedInput":{}})");
        ASSERT_EQ(person.questions.size(), 1u) << line;
        EXPECT_EQ(person.questions[0].first, "tool");
        EXPECT_EQ(person.questions[0].second, json::object());
    }
}

TEST(MCPMessages, OnlyDenyDeniesAndAnythingElseAllowsTheUnchangedInput) {
    const json input = json::parse(R"({"command":"ls /tmp && echo \"é\u2028\"\nnext",
                                       "edits":[{"old":"a","new":null}],"n":1.5})");
    json message = {{"jsonrpc", "2.0"}, {"id", 9}, {"method", "tools/call"}};
    // The tool's own name in "name" is not looked at: every call is an approval.
    message["params"] = {
        {"name", "something_else"},
        {"arguments", {{"tool_name", "Bash"}, {"input", input}, {"tool_use_id", "toolu_1"}}}};
    for (std::string choice : {"allow_always", "", "Deny"}) {
        FakePerson person{choice};
        json reply = replyTo(message.dump(), person);
        EXPECT_EQ(reply["id"], 9);
        EXPECT_EQ(json::parse(decisionOf(reply)),
                  (json{{"behavior", "allow"}, {"updatedInput", input}}))
            << choice;
        ASSERT_EQ(person.questions.size(), 1u);
        EXPECT_EQ(person.questions[0].first, "Bash");
        EXPECT_EQ(person.questions[0].second, input);
    }
    FakePerson denying{"deny"};
    EXPECT_EQ(decisionOf(replyTo(message.dump(), denying)),
              R"({"behavior":"deny","message":"Denied from the pavix app."})");
}

TEST(MCPMessages, OtherMethodsWithAnIdAreNotFound) {
    FakePerson person;
    for (std::string method : {"resources/list", "Initialize"}) {
        json message = {{"id", 4}, {"method", method}, {"params", {{"a", 1}}}};
        json reply = replyTo(message.dump(), person);
        EXPECT_EQ(reply, json::parse(R"({"jsonrpc":"2.0","id":4,
                                         "error":{"code":-32601,"message":"Method not found"}})"))
            << method;
        EXPECT_TRUE(reply["error"]["code"].is_number_integer());
    }
    EXPECT_TRUE(person.questions.empty());
}

TEST(MCPMessages, NestingIsBoundedWithoutCrashing) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    // The id sits one level inside the message.
    std::string fits = R"({"id":)" + nested(maximumNesting) + R"(,"method":"ping"})";
    EXPECT_TRUE(replyTo(fits)["id"].is_array());
    std::string deeper = R"({"id":)" + nested(maximumNesting + 1) + R"(,"method":"ping"})";
    FakePerson person;
    EXPECT_EQ(MCPApprove::handleMessage(deeper, person.asker()), std::nullopt);
    std::string huge = R"({"id":1,"method":"tools/call","params":{"arguments":{"input":{"a":)" +
                       nested(200000) + "}}}}";
    EXPECT_EQ(MCPApprove::handleMessage(huge, person.asker()), std::nullopt);
    EXPECT_TRUE(person.questions.empty());
}
