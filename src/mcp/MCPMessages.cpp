#include "mcp/MCPApprove.h"

#include "util/Json.h"

namespace pavix::MCPApprove {

namespace {

using nlohmann::json;

const json& emptyObject() {
    static const json empty = json::object();
    return empty;
}

/// `object`'s member `name` when that is an object, else an empty object.
const json& objectMember(const json& object, const char* name) {
    auto it = object.find(name);
    return it != object.end() && it->is_object() ? *it : emptyObject();
}

std::optional<std::string> textMember(const json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

/// Compact JSON, or nothing when a text in `value` is not valid UTF-8.
std::optional<std::string> compact(const json& value) {
    try {
        return value.dump();
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

json initializeResult(const json& params) {
    return {{"protocolVersion", textMember(params, "protocolVersion").value_or("2025-06-18")},
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

// Every call is taken as a call of "approve", whatever params' "name" says.
json toolsCallResult(const json& params, const Asker& ask) {
    const json& arguments = objectMember(params, "arguments");
    const json& input = objectMember(arguments, "input");
    const std::string tool = textMember(arguments, "tool_name").value_or("tool");
    json payload;
    if (ask(tool, input) == "deny")
        payload = {{"behavior", "deny"}, {"message", "Denied from the pavix app."}};
    else
        payload = {{"behavior", "allow"}, {"updatedInput", input}};
    json content = {{"type", "text"}, {"text", compact(payload).value_or("{}")}};
    return {{"content", json::array({std::move(content)})}};
}

} // namespace

std::optional<std::string> handleMessage(std::string_view line, const Asker& ask) {
    std::optional<json> message = parseObject(line);
    if (!message) return std::nullopt;
    std::optional<std::string> method = textMember(*message, "method");
    if (!method) return std::nullopt;
    auto id = message->find("id");
    if (id == message->end()) return std::nullopt; // a notification
    const json& params = objectMember(*message, "params");

    json reply = json::object();
    reply["jsonrpc"] = "2.0";
    reply["id"] = *id;
    if (*method == "initialize")
        reply["result"] = initializeResult(params);
    else if (*method == "ping")
        reply["result"] = json::object();
    else if (*method == "tools/list")
        reply["result"] = toolsListResult();
    else if (*method == "tools/call")
        reply["result"] = toolsCallResult(params, ask);
    else
        reply["error"] = {{"code", -32601}, {"message", "Method not found"}};

    std::optional<std::string> text = compact(reply);
    if (!text) return std::nullopt;
    text->push_back('\n');
    return text;
}

} // namespace pavix::MCPApprove
