#include "bridge/RunRegistry.h"

#include "run/ClaudeRun.h"
#include "util/Log.h"

#include <boost/asio/post.hpp>

#include <algorithm>

namespace pavix {

namespace {

bool ended(const ClaudeRun& run) {
    return run.finished() && !run.processRunning();
}

} // namespace

RunRegistry::RunRegistry(asio::any_io_executor executor, std::filesystem::path folder)
    : executor_(executor)
    , folder_(std::move(folder))
    , worker_(std::move(executor)) {
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

std::size_t RunRegistry::unfinished(const std::string* session) const {
    return static_cast<std::size_t>(std::count_if(runs_.begin(), runs_.end(), [&](const auto& run) {
        return !run->finished() && (!session || run->storedSessionId() == *session);
    }));
}

void RunRegistry::stopAll() {
    // Once each: a repeated stop would interrupt Claude Code again.
    for (const auto& run : runs_)
        if (!ended(*run) && !run->stopRequested()) run->stop();
}

bool RunRegistry::allEnded() const {
    return std::all_of(runs_.begin(), runs_.end(), [](const auto& run) { return ended(*run); });
}

void RunRegistry::keepWithinMemory() {
    std::size_t kept = 0;
    std::vector<std::shared_ptr<ClaudeRun>> beyond;
    for (std::size_t i = runs_.size(); i-- > 0;) { // newest first
        ClaudeRun& run = *runs_[i];
        if (!run.finished() || !run.inMemory()) continue;
        kept += run.memoryBytes();
        if (kept <= finishedRunsMemory) continue;
        kept -= run.memoryBytes();
        beyond.push_back(runs_[i]);
    }
    if (beyond.empty()) return;
    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
    for (const auto& run : beyond) {
        auto onMoved = [this, alive = std::weak_ptr(alive_), id = run->id()](Status moved) {
            if (!alive.lock()) return;
            // One line when moving starts failing (a full disk), not one per run.
            if (!moved && !std::exchange(moveFailing_, true))
                log("couldn't move old runs' events to files: " + moved.error().description);
            if (moved) {
                moveFailing_ = false;
                return;
            }
            // Kept, it would hold finished runs past their budget for good. Not at once:
            // this may be called from within the run itself.
            asio::post(executor_, [this, alive, id] {
                if (!alive.lock()) return;
                auto it = std::find_if(runs_.begin(), runs_.end(),
                                       [&](const auto& run) { return run->id() == id; });
                if (it == runs_.end() || !(*it)->inMemory()) return;
                runs_.erase(it);
                log("forgot run " + id + ": no room for its events in memory or on disk");
            });
        };
        run->moveToFile(folder_, worker_, std::move(onMoved));
    }
}

} // namespace pavix
