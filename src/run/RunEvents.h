#pragma once

#include "util/ApprovalChoice.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// Every event a run publishes. Adding one: a kind here, its name and a builder in
/// RunEvents.cpp, and the place that emits it.
enum class EventKind {
    messageDelta,
    toolStarted,
    toolCompleted,
    approvalRequest,
    approvalResponded,
    runSteered,
    runCompleted,
    runFailed,
    runCancelled,
};

/// The name the phone sees in the event's "event" member and in "last_event".
std::string_view eventName(EventKind kind);

/// One event: its kind and its JSON text (one compact line, "/" unescaped, keys sorted).
struct Event {
    EventKind kind;
    std::string text;
};

/// How a run ended; the run keeps it, and it becomes the terminal event.
struct RunEnd {
    EventKind kind;        ///< runCompleted, runFailed or runCancelled
    std::string output;    ///< completed: the final result's text
    std::string error;     ///< failed: what went wrong
    std::string sessionId; ///< completed: Claude Code's session, "" when unknown
};

/// The status word of a run that ended so: "completed", "failed" or "cancelled".
std::string_view endStatus(EventKind kind);

// The builders, one per kind. Text deltas are the bulk of every run, so the log keeps
// them as their escaped text only, and hands that out between these two.

/// A delta event's JSON text is its escaped text between `deltaJSONHead` and `deltaJSONTail`.
inline constexpr std::string_view deltaJSONHead = R"({"delta":")",
                                  deltaJSONTail = R"(","event":"message.delta"})";
Event toolStarted(std::string_view tool, const nlohmann::json* input);
Event toolCompleted(std::string_view tool, double seconds, bool failed);
Event approvalRequest(std::string_view tool, const nlohmann::json& input);
Event approvalResponded(ApprovalChoice choice);
Event runSteered();
Event runEnded(const RunEnd& end);

/// A tool's name as shown: an MCP tool ("mcp__server__name") by its last piece.
std::string displayName(std::string_view tool);
/// A short text about a tool's input: its first telling string, cut to 300 characters.
std::optional<std::string> toolPreview(const nlohmann::json* input);

} // namespace pavix
