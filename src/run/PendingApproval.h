#pragma once

#include "run/ClaudeRun.h"

#include <boost/asio/steady_timer.hpp>

#include <optional>
#include <string>

namespace pavix {

/// One approval request's one-shot answer slot. The timer is both the request's
/// timeout (when it expires) and its wake-up (cancelled once `answer` is set).
struct ClaudeRun::PendingApproval {
    PendingApproval(asio::any_io_executor executor, std::string tool)
        : wake(executor)
        , tool(std::move(tool)) {}

    /// Hands `choice` to the waiting request; later answers are ignored.
    void answerWith(std::string choice) {
        if (answer) return;
        answer = std::move(choice);
        wake.cancel();
    }

    asio::steady_timer wake;
    std::string tool;
    std::optional<std::string> answer;
};

} // namespace pavix
