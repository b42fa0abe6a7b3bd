#pragma once

#include "util/ApprovalChoice.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace pavix::MCPApprove {

/// What one input line of the `mcp` mode asks for.
struct Message { // NOLINT(bugprone-exception-escape): nlohmann's moves do not throw
    enum class Kind {
        ignored,  ///< no answer: not a JSON object with a text "method", or a notification
        answered, ///< `reply` is the whole answer
        call,     ///< a "tools/call": ask about `tool` and `input`, then answer `id`
        cancel,   ///< "notifications/cancelled": the call with id `id` gets no answer
    };
    Kind kind = Kind::ignored;
    std::string reply; ///< compact JSON ending in "\n"
    nlohmann::json id;
    std::string tool;                     ///< "tool" when the call names none
    nlohmann::json input;                 ///< an object, empty when the call gives none
    std::optional<std::string> toolUseId; ///< Claude Code's id of the tool call, when given
};

/// Reads one line (without its line end). Lines nested deeper than `maximumNesting` are
/// ignored; so is a reply that cannot be serialized. A request whose id is not a string, a
/// number or null is answered JSON-RPC's Invalid Request with a null id.
Message readMessage(std::string_view line);

/// The answer to `call` once the person has chosen `choice`: "once" and "session" allow the
/// unchanged input, "deny" denies. Nothing when it cannot be serialized.
std::optional<std::string> callReply(const Message& call, ApprovalChoice choice);

/// The approval request's body, {"run", "tool_name", "input"} and "tool_use_id" when the call
/// gave one, in compact JSON; empty when a text in it (say, the run from the command line)
/// is not UTF-8.
std::string approvalPostBody(const std::string& run, const Message& call);

} // namespace pavix::MCPApprove
