#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace pavix {

class ClaudeRun;

/// The runs started through the API, oldest first, so pruning drops the oldest
/// finished ones. Pruning after every start keeps it to a couple of dozen entries,
/// which is why lookups simply walk the list.
/// Loop-affine, like the Bridge that owns it.
class RunRegistry {
public:
    void add(std::shared_ptr<ClaudeRun> run);
    /// The run with `id`; null when none is held.
    std::shared_ptr<ClaudeRun> find(const std::string& id) const;
    bool anyUnfinished() const;
    /// Whether a run is unfinished or its Claude Code process has not yet ended.
    bool anyActive() const;
    /// Asks every active run that has not been asked yet to stop.
    void stopActive();
    /// Drops the oldest finished runs until at most `keep` finished ones remain;
    /// unfinished runs always stay.
    void trim(std::size_t keep);
    std::size_t size() const { return runs_.size(); }

private:
    std::vector<std::shared_ptr<ClaudeRun>> runs_;
};

} // namespace pavix
