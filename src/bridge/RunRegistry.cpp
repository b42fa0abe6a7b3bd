#include "bridge/RunRegistry.h"

#include "run/ClaudeRun.h"

#include <algorithm>

namespace pavix {

void RunRegistry::add(std::shared_ptr<ClaudeRun> run) {
    runs_.push_back(std::move(run));
}

std::shared_ptr<ClaudeRun> RunRegistry::find(const std::string& id) const {
    auto it =
        std::find_if(runs_.begin(), runs_.end(), [&](const auto& run) { return run->id() == id; });
    return it == runs_.end() ? nullptr : *it;
}

bool RunRegistry::anyUnfinished() const {
    return std::any_of(runs_.begin(), runs_.end(),
                       [](const auto& run) { return !run->finished(); });
}

namespace {

bool active(const ClaudeRun& run) {
    return !run.finished() || run.processRunning();
}

} // namespace

bool RunRegistry::anyActive() const {
    return std::any_of(runs_.begin(), runs_.end(), [](const auto& run) { return active(*run); });
}

void RunRegistry::stopActive() {
    // Once each: a repeated stop would interrupt Claude Code again.
    for (const auto& run : runs_)
        if (active(*run) && !run->stopRequested()) run->stop();
}

void RunRegistry::trim(std::size_t keep) {
    auto finished = static_cast<std::size_t>(
        std::count_if(runs_.begin(), runs_.end(), [](const auto& run) { return run->finished(); }));
    if (finished <= keep) return;
    std::size_t surplus = finished - keep;
    std::vector<std::shared_ptr<ClaudeRun>> kept;
    kept.reserve(runs_.size() - surplus);
    for (auto& run : runs_) {
        if (surplus > 0 && run->finished()) {
            --surplus;
            continue;
        }
        kept.push_back(std::move(run));
    }
    runs_ = std::move(kept);
}

} // namespace pavix
