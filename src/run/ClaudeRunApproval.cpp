// The run's tool approvals: one request waits at a time, "session" answers are
// remembered for the rest of the run.
#include "run/ClaudeRun.h"

#include "run/PendingApproval.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

namespace pavix {

asio::awaitable<std::string> ClaudeRun::requestApproval(std::string tool, nlohmann::json input) {
    if (end_) co_return "deny"; // nobody follows an ended run to answer
    if (allowedForRun_.contains(tool)) co_return "once";
    auto pending = std::make_shared<PendingApproval>(executor_, tool);
    // A newer request takes the place of an older one, which is denied silently.
    if (auto older = std::exchange(approval_, pending)) older->answerWith("deny");
    publish(approvalRequest(tool, input));

    std::weak_ptr<ClaudeRun> weak = weak_from_this();
    pending->wake.expires_after(options_.approvalTimeout);
    if (!pending->answer) co_await pending->wake.async_wait(asio::as_tuple(asio::use_awaitable));
    // Past this point the run may be gone; reach it only through `weak`.
    if (!pending->answer) {
        auto self = weak.lock();
        if (self && self->approval_ == pending)
            self->resolveApproval("deny"); // timed out
        else
            pending->answerWith("deny");
    }
    co_return *pending->answer;
}

bool ClaudeRun::resolveApproval(std::string choice) {
    auto pending = std::exchange(approval_, nullptr);
    if (!pending) return false;
    if (choice == "session") allowedForRun_.insert(pending->tool);
    pending->answerWith(choice);
    publish(approvalResponded(choice));
    return true;
}

} // namespace pavix
