#include "run/ClaudeRun.h"

#include "run/PendingApproval.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

namespace pavix {

namespace {

nlohmann::json approvalRequestEvent(const std::string& tool, const nlohmann::json& input) {
    nlohmann::json event = {
        {"event", "approval.request"},
        {"heading", "claude code wants to use " + ClaudeRun::displayName(tool)},
        {"choices", {"once", "session", "deny"}},
    };
    auto command = input.is_object() ? input.find("command") : input.end();
    if (command != input.end() && command->is_string()) {
        event["command"] = *command;
        auto description = input.find("description");
        if (description != input.end() && description->is_string())
            event["description"] = *description;
    } else if (auto text = ClaudeRun::preview(input.is_object() ? &input : nullptr)) {
        event["description"] = *text;
    }
    return event;
}

} // namespace

asio::awaitable<std::string> ClaudeRun::requestApproval(std::string tool, nlohmann::json input) {
    if (allowedForRun_.contains(tool)) co_return "once";
    auto pending = std::make_shared<PendingApproval>(executor_, tool);
    // A newer request takes the place of an older one, which is denied silently.
    if (auto older = std::exchange(approval_, pending)) older->answerWith("deny");
    if (!finished_) status_ = "waiting_for_approval";
    emit(approvalRequestEvent(tool, input));

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
    if (!finished_) status_ = "running";
    if (choice == "session") allowedForRun_.insert(pending->tool);
    pending->answerWith(choice);
    emit({{"event", "approval.responded"}, {"choice", std::move(choice)}});
    return true;
}

} // namespace pavix
