#include "mcp/MCPMessages.h"

#include "util/Json.h"

#include <algorithm>
#include <array>

namespace pavix::MCPApprove {

namespace {

using nlohmann::json;

/// One reply line, or nothing when it cannot be serialized.
std::optional<std::string> replyLine(const json& id, const char* member, json value) {
    json reply = json::object();
    reply["jsonrpc"] = "2.0";
    reply["id"] = id;
    reply[member] = std::move(value);
    std::optional<std::string> text = compactJSON(reply);
    if (text) text->push_back('\n');
    return text;
}

// The protocol versions this mode speaks, oldest first: tools and their calls are the same
// in all of them.
constexpr std::array<std::string_view, 4> protocolVersions = {"2024-11-05", "2025-03-26",
                                                              "2025-06-18", "2025-11-25"};

// The client's version when it is one of ours, else our newest: the client then decides
// whether it can go on.
std::string_view protocolVersion(const json& params) {
    const std::string* asked = findString(params, "protocolVersion");
    auto known = std::find(protocolVersions.begin(), protocolVersions.end(), asked ? *asked : "");
    return known != protocolVersions.end() ? *known : protocolVersions.back();
}

json initializeResult(const json& params) {
    return {{"protocolVersion", protocolVersion(params)},
            {"capabilities", {{"tools", json::object()}}},
            {"serverInfo", {{"name", "pavix"}, {"version", "1.0"}}}};
}

const json& toolsListResult() {
    static const json result = json::parse(R"({"tools": [{
        "name": "approve",
        "description": "Asks the person, on their pavix phone app, to approve a tool call.",
        "inputSchema": {
            "type": "object",
            "properties": {
                "tool_name": {"type": "string"},
                "input": {"type": "object"},
                "tool_use_id": {"type": "string"}
            },
            "required": ["tool_name", "input"]
        }
    }]})");
    return result;
}

Message answered(std::optional<std::string> reply) {
    Message message;
    if (!reply) return message;
    message.kind = Message::Kind::answered;
    message.reply = std::move(*reply);
    return message;
}

// Every call is taken as a call of "approve", whatever params' "name" says.
Message call(const json& id, const json& params) {
    const json& arguments = findObjectOrEmpty(params, "arguments");
    Message message;
    message.kind = Message::Kind::call;
    message.id = id;
    message.tool = copyString(arguments, "tool_name").value_or("tool");
    message.input = findObjectOrEmpty(arguments, "input");
    message.toolUseId = copyString(arguments, "tool_use_id");
    return message;
}

// Only a cancellation is acted on; other notifications are ignored.
Message notification(const std::string& method, const json& params) {
    Message message;
    auto requestId = params.find("requestId");
    if (method != "notifications/cancelled" || requestId == params.end()) return message;
    message.kind = Message::Kind::cancel;
    message.id = *requestId;
    return message;
}

} // namespace

Message readMessage(std::string_view line) {
    std::optional<json> message = parseObject(line);
    if (!message) return {};
    const std::string* method = findString(*message, "method");
    if (!method) return {};
    const json& params = findObjectOrEmpty(*message, "params");
    auto id = message->find("id");
    if (id == message->end()) return notification(*method, params);
    // JSON-RPC ids are strings, numbers or null; anything else is no request to answer by it.
    if (!id->is_string() && !id->is_number() && !id->is_null())
        return answered(
            replyLine(nullptr, "error", {{"code", -32600}, {"message", "Invalid Request"}}));

    if (*method == "initialize")
        return answered(replyLine(*id, "result", initializeResult(params)));
    if (*method == "ping") return answered(replyLine(*id, "result", json::object()));
    if (*method == "tools/list") return answered(replyLine(*id, "result", toolsListResult()));
    if (*method == "tools/call") return call(*id, params);
    return answered(replyLine(*id, "error", {{"code", -32601}, {"message", "Method not found"}}));
}

std::optional<std::string> callReply(const Message& call, ApprovalChoice choice) {
    json payload;
    if (choice == ApprovalChoice::once || choice == ApprovalChoice::session)
        payload = {{"behavior", "allow"}, {"updatedInput", call.input}};
    else
        payload = {{"behavior", "deny"}, {"message", "Denied from the pavix app."}};
    json content = {{"type", "text"}, {"text", compactJSON(payload).value_or("{}")}};
    return replyLine(call.id, "result", {{"content", json::array({std::move(content)})}});
}

std::string approvalPostBody(const std::string& run, const Message& call) {
    json body = {{"run", run}, {"tool_name", call.tool}, {"input", call.input}};
    // The service withdraws the question once Claude Code reports this call's result.
    if (call.toolUseId) body["tool_use_id"] = *call.toolUseId;
    return compactJSON(body).value_or("");
}

} // namespace pavix::MCPApprove
