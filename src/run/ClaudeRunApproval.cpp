// The run's tool approvals: one request waits at a time, "session" answers are
// remembered for the rest of the run.
#include "run/ClaudeRun.h"

#include "run/PendingApproval.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

namespace pavix {

asio::awaitable<ApprovalChoice> ClaudeRun::requestApproval(std::string tool, nlohmann::json input,
                                                           std::optional<std::string> toolUseId) {
    // A cancelled asker is answered below, as on a timeout, never by an exception.
    co_await asio::this_coro::throw_if_cancelled(false);
    // Claude Code wrote the tool's start before it asked, on another channel: the phone
    // sees it first.
    if (process_) process_->readAvailableOutput();
    if (end_) co_return ApprovalChoice::deny; // nobody follows an ended run to answer
    if (allowedForRun_.contains(tool)) co_return ApprovalChoice::once;
    auto pending = std::make_shared<PendingApproval>(executor_, tool, std::move(toolUseId));
    // A newer request takes the place of an older one, which is denied silently.
    if (auto older = std::exchange(approval_, pending)) older->answerWith(ApprovalChoice::deny);
    publish(approvalRequest(tool, input));

    std::weak_ptr<ClaudeRun> weak = weak_from_this();
    pending->wake.expires_after(options_.approvalTimeout);
    if (!pending->answer) co_await pending->wake.async_wait(asio::as_tuple(asio::use_awaitable));
    // Past this point the run may be gone; reach it only through `weak`.
    if (!pending->answer) {
        // Timed out, or the asker has gone (cancelled): withdrawn, so the phone is told.
        auto self = weak.lock();
        if (self && self->approval_ == pending)
            self->resolveApproval(ApprovalChoice::deny);
        else
            pending->answerWith(ApprovalChoice::deny);
    }
    co_return *pending->answer;
}

bool ClaudeRun::resolveApproval(ApprovalChoice choice) {
    auto pending = std::exchange(approval_, nullptr);
    if (!pending) return false;
    if (choice == ApprovalChoice::session) allowedForRun_.insert(pending->tool);
    pending->answerWith(choice);
    publish(approvalResponded(choice));
    return true;
}

void ClaudeRun::toolResult(std::string_view toolUseId) {
    // Claude Code has gone on without the answer (it gave up waiting): nobody asks any more.
    if (approval_ && approval_->toolUseId == toolUseId) resolveApproval(ApprovalChoice::deny);
}

} // namespace pavix
