#include "run/ClaudeRun.h"

#include "run/PendingApproval.h"
#include "util/Ids.h"
#include "util/Json.h"
#include "util/Log.h"

namespace pavix {

ClaudeRun::ClaudeRun(asio::any_io_executor executor, Options options)
    : executor_(std::move(executor))
    , id_(newRunId())
    , options_(std::move(options))
    , log_(std::make_shared<EventLog>(executor_))
    , translator_(*this) {}

Result<std::shared_ptr<ClaudeRun>> ClaudeRun::start(asio::any_io_executor executor,
                                                    Options options) {
    std::shared_ptr<ClaudeRun> run(new ClaudeRun(executor, std::move(options)));
    ClaudeCommand& command = run->options_.command;
    command.runId = run->id_;
    auto plan = claudeLaunchPlan(command);
    if (!plan) return plan.error();
    std::weak_ptr<ClaudeRun> weak = run;
    ChildHandlers handlers{
        [weak](std::string_view chunk) {
            if (auto self = weak.lock()) self->outputChunk(chunk);
        },
        [weak](std::string_view chunk) {
            if (auto self = weak.lock(); self && self->process_) self->process_->addErrors(chunk);
        },
        [weak](int status) {
            if (auto self = weak.lock()) self->processEnded(status);
        },
    };
    auto child = ChildProcess::start(executor, std::move(*plan), std::move(handlers));
    if (!child) return child.error();
    run->process_ = std::make_unique<ClaudeProcess>(std::move(*child), run->options_.stopSchedule);
    run->sendUserMessage(run->options_.prompt);
    log("run " + run->id_ + " started in " + command.folder.string() +
        (command.resume ? " resuming " + *command.resume : ""));
    return run;
}

ClaudeRun::~ClaudeRun() {
    // Nobody can answer any more: release a waiting request and end the streams.
    if (approval_) approval_->answerWith(ApprovalChoice::deny);
    log_->close();
}

bool ClaudeRun::processRunning() const {
    return process_ && process_->running();
}

std::string_view ClaudeRun::status() const {
    return end_ ? endStatus(end_->kind) : approval_ ? "waiting_for_approval" : "running";
}

nlohmann::json ClaudeRun::statusJSON() const {
    nlohmann::json json = {{"status", status()}, {"output", output()}};
    if (end_ && end_->kind == EventKind::runFailed) json["error"] = end_->error;
    if (lastEvent_) json["last_event"] = eventName(*lastEvent_);
    if (sessionId_) json["session_id"] = *sessionId_;
    return json;
}

std::string ClaudeRun::output() const {
    if (end_ && end_->kind == EventKind::runCompleted && !end_->output.empty()) return end_->output;
    return log_->deltaText();
}

void ClaudeRun::moveToFile(const std::filesystem::path& folder, FileWorker& worker,
                           std::function<void(Status)> onMoved) {
    if (!end_) return onMoved(Error{"only a finished run can be moved"});
    auto file = ScratchFile::create(folder);
    if (!file) return onMoved(file.error());
    log_->moveTo(std::move(*file), worker, std::move(onMoved));
}

std::shared_ptr<EventLog::Reader> ClaudeRun::read(std::size_t after) {
    return log_->read(after);
}

bool ClaudeRun::steer(std::string message) {
    if (!sendUserMessage(std::move(message))) return false;
    publish(runSteered());
    return true;
}

bool ClaudeRun::sendUserMessage(std::string message) {
    nlohmann::json line = {
        {"type", "user"},
        {"message",
         {{"role", "user"}, {"content", {{{"type", "text"}, {"text", std::move(message)}}}}}},
    };
    auto text = compactJSON(line);
    if (!text) return false; // not UTF-8: nothing Claude Code could read
    if (process_ && !process_->write(*text + "\n")) return false;
    ++openTurns_;
    return true;
}

void ClaudeRun::stop() {
    stopRequested_ = true;
    resolveApproval(ApprovalChoice::deny);
    if (process_) process_->stop();
}

void ClaudeRun::publish(const Event& event) {
    log_->append(event);
    lastEvent_ = event.kind;
}

void ClaudeRun::delta(std::string_view escaped, std::string_view) {
    log_->appendDelta(escaped);
    lastEvent_ = EventKind::messageDelta;
}

void ClaudeRun::event(Event event) {
    publish(event);
}

void ClaudeRun::session(std::string_view id) {
    sessionId_ = std::string(id);
    if (options_.onSession) options_.onSession(*sessionId_);
}

void ClaudeRun::result(TurnResult result) {
    if (result.sessionId) sessionId_ = std::move(result.sessionId);
    if (--openTurns_ > 0) return; // later user messages are still being answered
    if (!result.failed)
        finish({EventKind::runCompleted, std::move(result.text), {}, sessionId_.value_or("")});
    else if (stopRequested_) // Claude Code answers the interrupt of a stop with an error result
        finish({EventKind::runCancelled, {}, {}, {}});
    else
        finish({EventKind::runFailed,
                {},
                result.text.empty() ? "Claude Code stopped with an error." : result.text,
                {}});
    // With no further input Claude Code can exit.
    if (process_) process_->closeInput();
}

void ClaudeRun::outputChunk(std::string_view chunk) {
    if (!chunk.empty()) return translator_.consume(chunk);
    if (process_) process_->outputClosed();
}

void ClaudeRun::processEnded(int status) {
    if (end_) return;
    if (stopRequested_) return finish({EventKind::runCancelled, {}, {}, {}});
    finish({EventKind::runFailed, {}, process_->failure(status), {}});
}

void ClaudeRun::finish(RunEnd end) {
    if (end_) return;
    // A question still open is denied before the end, which every reader sees last: its
    // approval tool may have gone with Claude Code and withdrawn it first just as well.
    resolveApproval(ApprovalChoice::deny);
    end_ = std::move(end);
    publish(runEnded(*end_));
    log_->close();
    log("run " + id_ + " " + std::string(endStatus(end_->kind)));
    if (options_.onEnd) options_.onEnd(end_->kind == EventKind::runFailed ? end_->error : output());
}

} // namespace pavix
