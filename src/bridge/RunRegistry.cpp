#include "bridge/RunRegistry.h"

#include "Log.h"
#include "run/ClaudeRun.h"

#include <boost/asio/post.hpp>

#include <algorithm>

namespace pavix {

namespace {

bool active(const ClaudeRun& run) {
    return !run.finished() || run.processRunning();
}

} // namespace

RunRegistry::RunRegistry(asio::any_io_executor executor, std::filesystem::path folder)
    : executor_(std::move(executor))
    , folder_(std::move(folder)) {
    // Scratch files lose their names at once; this takes what a crash left in between.
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void RunRegistry::add(std::shared_ptr<ClaudeRun> run) {
    runs_.push_back(std::move(run));
    auto finished = static_cast<std::size_t>(
        std::count_if(runs_.begin(), runs_.end(), [](const auto& run) { return run->finished(); }));
    keepWithinMemory();
    for (auto it = runs_.begin(); finished > maxFinishedRuns && it != runs_.end();) {
        if ((*it)->finished()) {
            it = runs_.erase(it);
            --finished;
        } else {
            ++it;
        }
    }
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

bool RunRegistry::anyActive() const {
    return std::any_of(runs_.begin(), runs_.end(), [](const auto& run) { return active(*run); });
}

void RunRegistry::stopActive() {
    // Once each: a repeated stop would interrupt Claude Code again.
    for (const auto& run : runs_)
        if (active(*run) && !run->stopRequested()) run->stop();
}

void RunRegistry::keepWithinMemory() {
    if (std::exchange(moveScheduled_, true)) return;
    asio::post(executor_, [this, alive = std::weak_ptr(alive_)] {
        if (!alive.lock()) return;
        moveScheduled_ = false;
        moveOldRunsToFiles();
    });
}

void RunRegistry::moveOldRunsToFiles() {
    std::size_t kept = 0;
    for (auto it = runs_.rbegin(); it != runs_.rend(); ++it) {
        ClaudeRun& run = **it;
        if (!run.finished()) continue;
        kept += run.memoryBytes();
        if (kept <= finishedRunsMemory) continue;
        std::error_code ignored;
        std::filesystem::create_directories(folder_, ignored);
        auto moved = run.moveToFile(folder_);
        if (!moved)
            return log("couldn't move an old run's events to a file: " + moved.error().description);
        kept -= std::min(kept, run.memoryBytes());
    }
}

} // namespace pavix
