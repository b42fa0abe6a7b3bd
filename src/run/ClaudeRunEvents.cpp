#include "run/ClaudeRun.h"

#include "platform/ChildProcess.h"

#include <nlohmann/json.hpp>

#include <csignal>

namespace pavix {

void ClaudeRun::emit(nlohmann::json event) {
    EventText text;
    try {
        // Text from Claude Code is parsed JSON and so valid UTF-8; should anything
        // else slip through, a replacement character beats losing the event.
        text = std::make_shared<const std::string>(
            event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } catch (const std::exception&) {
        return;
    }
    events_.push_back(text);
    auto name = event.is_object() ? event.find("event") : event.end();
    lastEvent_ = name != event.end() && name->is_string()
                     ? std::optional<std::string>(name->get<std::string>())
                     : std::nullopt;
    for (const auto& [key, writer] : subscribers_)
        writer.push(text);
}

EventReader ClaudeRun::subscribe() {
    auto key = nextSubscriber_++;
    auto [writer, reader] = makeEventStream(executor_, [weak = weak_from_this(), key] {
        if (auto self = weak.lock()) self->subscribers_.erase(key);
    });
    // Replay and registration happen in one step on the loop, so no event can fall
    // between them or arrive twice.
    for (const auto& text : events_)
        writer.push(text);
    if (finished_)
        writer.finish();
    else
        subscribers_.emplace(key, std::move(writer));
    return std::move(reader);
}

nlohmann::json ClaudeRun::statusJSON() const {
    nlohmann::json status = {{"status", status_}, {"output", output_}};
    if (error_) status["error"] = *error_;
    if (lastEvent_) status["last_event"] = *lastEvent_;
    if (sessionId_) status["session_id"] = *sessionId_;
    return status;
}

bool ClaudeRun::processRunning() const {
    return process_ && process_->running();
}

void ClaudeRun::stop() {
    bool first = !cancelled_;
    cancelled_ = true;
    resolveApproval("deny");
    if (!process_ || !process_->running()) return;
    process_->signal(SIGINT);
    if (!first) return;
    // The process layer holds these timers; they die with the process, not the run.
    process_->signalAfter(options_.stopTerminateAfter, SIGTERM);
    process_->signalAfter(options_.stopTerminateAfter + options_.stopKillAfter, SIGKILL);
}

} // namespace pavix
