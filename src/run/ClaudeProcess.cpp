#include "run/ClaudeProcess.h"

#include "util/Text.h"

#include <csignal>

namespace pavix {

namespace {

// A tail of the last 2000 characters, of which the message takes the last 400 once white
// space is trimmed. Bytes are kept generously beyond that, then cut at the front.
constexpr std::size_t tailLength = 2000;
constexpr std::size_t messageLength = 400;
constexpr std::size_t keptBytes = 64 << 10;

} // namespace

ClaudeProcess::ClaudeProcess(std::shared_ptr<ChildProcess> child, StopSchedule schedule)
    : child_(std::move(child))
    , schedule_(schedule) {}

ClaudeProcess::~ClaudeProcess() {
    child_->closeInput();
}

void ClaudeProcess::stop() {
    if (child_->hasEnded()) return;
    // Claude Code ends the tools it started itself; what it leaves, the stop ends.
    child_->signal(SIGINT);
    child_->endGroupOnExit(schedule_.terminateAfter);
    endOnSchedule();
}

void ClaudeProcess::outputClosed() {
    if (!child_->running()) return;
    child_->closeInput();
    // Mostly the output closes because the process has ended: nothing to escalate then.
    if (!child_->hasEnded()) endOnSchedule();
}

void ClaudeProcess::endOnSchedule() {
    if (std::exchange(ending_, true)) return;
    // The child holds these timers: they end with the process, not with the run. Past the
    // interrupt, Claude Code is no longer trusted to end its tools: they go with it.
    child_->signalAfter(schedule_.terminateAfter, SIGTERM, /*group=*/true);
    child_->signalAfter(schedule_.terminateAfter + schedule_.killAfter, SIGKILL, /*group=*/true);
}

void ClaudeProcess::addErrors(std::string_view chunk) {
    errors_ += chunk;
    // Cut rarely, so a flood costs its copy once rather than once per chunk.
    if (errors_.size() > 2 * keptBytes) errors_.erase(0, errors_.size() - keptBytes);
}

std::string ClaudeProcess::failure(int status) const {
    std::string text = lastGraphemes(validUTF8(errors_), tailLength);
    std::string tail = trimWhitespaceAndNewlines(text);
    if (tail.empty()) return "Claude Code exited (" + std::to_string(status) + ").";
    return lastGraphemes(tail, messageLength);
}

} // namespace pavix
