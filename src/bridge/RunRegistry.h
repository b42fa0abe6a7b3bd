#pragma once

#include "util/Async.h"
#include "util/FileWorker.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pavix {

class ClaudeRun;

/// The runs started through the API, oldest first. Besides the unfinished ones it keeps
/// the newest `maxFinishedRuns` finished ones, which is why lookups simply walk the list.
/// Loop-affine, like the Bridge that owns it.
class RunRegistry {
public:
    static constexpr std::size_t maxFinishedRuns = 20;
    /// The most memory the events of finished runs hold; older runs beyond it keep theirs
    /// in scratch files in the folder given at construction.
    static constexpr std::size_t finishedRunsMemory = 64 << 20;

    /// Scratch files go to `folder`, which is created when first needed and emptied now.
    RunRegistry(asio::any_io_executor executor, std::filesystem::path folder);

    /// Registers `run`, then drops the oldest finished runs beyond `maxFinishedRuns`.
    void add(std::shared_ptr<ClaudeRun> run);
    /// The run with `id`; null when none is held.
    std::shared_ptr<ClaudeRun> find(const std::string& id) const;
    /// How many runs are unfinished; only those of the stored session `session` when given.
    std::size_t unfinished(const std::string* session = nullptr) const;
    /// Every run held, oldest first.
    const std::vector<std::shared_ptr<ClaudeRun>>& all() const { return runs_; }
    /// Asks every run that is unfinished or whose Claude Code process has not yet ended to
    /// stop, once each.
    void stopAll();
    /// Whether every run has finished and its Claude Code process has ended.
    bool allEnded() const;
    /// Moves the events of the oldest finished runs into files, written off the loop,
    /// until those in memory fit `finishedRunsMemory`. A run whose events the disk
    /// refuses is forgotten (one log line each), so that memory still fits.
    void keepWithinMemory();

private:
    asio::any_io_executor executor_;
    std::filesystem::path folder_;
    FileWorker worker_;
    bool moveFailing_ = false;
    std::vector<std::shared_ptr<ClaudeRun>> runs_;
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

} // namespace pavix
