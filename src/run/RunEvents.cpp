#include "run/RunEvents.h"

#include "util/Json.h"
#include "util/Text.h"

namespace pavix {

using nlohmann::json;

namespace {

constexpr std::size_t previewLength = 300;

Event make(EventKind kind, json members) {
    members["event"] = eventName(kind);
    return Event{kind, compactJSONReplacing(members)};
}

} // namespace

std::string_view eventName(EventKind kind) {
    switch (kind) {
    case EventKind::messageDelta:
        return "message.delta";
    case EventKind::toolStarted:
        return "tool.started";
    case EventKind::toolCompleted:
        return "tool.completed";
    case EventKind::approvalRequest:
        return "approval.request";
    case EventKind::approvalResponded:
        return "approval.responded";
    case EventKind::runSteered:
        return "run.steered";
    case EventKind::runCompleted:
        return "run.completed";
    case EventKind::runFailed:
        return "run.failed";
    case EventKind::runCancelled:
        return "run.cancelled";
    }
    return "";
}

std::string_view endStatus(EventKind kind) {
    switch (kind) {
    case EventKind::runCompleted:
        return "completed";
    case EventKind::runCancelled:
        return "cancelled";
    default:
        return "failed";
    }
}

Event toolStarted(std::string_view tool, const json* input) {
    json members = {{"tool", displayName(tool)}};
    if (auto preview = toolPreview(input)) members["preview"] = *preview;
    return make(EventKind::toolStarted, std::move(members));
}

Event toolCompleted(std::string_view tool, double seconds, bool failed) {
    return make(EventKind::toolCompleted,
                {{"tool", displayName(tool)}, {"duration", seconds}, {"error", failed}});
}

Event approvalRequest(std::string_view tool, const json& input) {
    json choices = json::array();
    for (ApprovalChoice choice : approvalChoices)
        choices.push_back(choiceWord(choice));
    json members = {
        {"heading", "claude code wants to use " + displayName(tool)},
        {"choices", std::move(choices)},
    };
    if (const std::string* command = findString(input, "command")) {
        members["command"] = *command;
        if (const std::string* description = findString(input, "description"))
            members["description"] = *description;
    } else if (auto preview = toolPreview(input.is_object() ? &input : nullptr)) {
        members["description"] = *preview;
    }
    return make(EventKind::approvalRequest, std::move(members));
}

Event approvalResponded(ApprovalChoice choice) {
    return make(EventKind::approvalResponded, {{"choice", choiceWord(choice)}});
}

Event runSteered() {
    return make(EventKind::runSteered, json::object());
}

Event runEnded(const RunEnd& end) {
    switch (end.kind) {
    case EventKind::runCompleted:
        return make(end.kind, {{"output", end.output}, {"session_id", end.sessionId}});
    case EventKind::runCancelled:
        return make(end.kind, json::object());
    default:
        return make(EventKind::runFailed, {{"error", end.error}});
    }
}

std::string displayName(std::string_view tool) {
    if (!tool.starts_with("mcp__")) return std::string(tool);
    return std::string(tool.substr(tool.rfind("__") + 2));
}

std::optional<std::string> toolPreview(const json* input) {
    if (!input) return std::nullopt;
    for (const char* key :
         {"command", "file_path", "path", "pattern", "url", "query", "description", "prompt"}) {
        const std::string* value = findString(*input, key);
        if (value && !value->empty()) return firstGraphemes(*value, previewLength);
    }
    return std::nullopt;
}

} // namespace pavix
