#pragma once

#include "run/ClaudeRun.h"

#include <boost/asio/steady_timer.hpp>

#include <optional>
#include <string>

namespace pavix {

/// One approval request's one-shot answer slot. The timer is both the request's
/// timeout (when it expires) and its wake-up (cancelled once `answer` is set).
struct ClaudeRun::PendingApproval {
    PendingApproval(asio::any_io_executor executor, std::string tool,
                    std::optional<std::string> toolUseId)
        : wake(executor)
        , tool(std::move(tool))
        , toolUseId(std::move(toolUseId)) {}

    /// Hands `choice` to the waiting request; later answers are ignored.
    void answerWith(ApprovalChoice choice) {
        if (answer) return;
        answer = choice;
        wake.cancel();
    }

    asio::steady_timer wake;
    std::string tool;
    std::optional<std::string> toolUseId; ///< Claude Code's id of the call, when told
    std::optional<ApprovalChoice> answer;
};

} // namespace pavix
