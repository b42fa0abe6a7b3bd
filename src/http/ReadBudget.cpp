#include "http/ReadBudget.h"

namespace pavix {

ReadBudget::Share::Share(ReadBudget& budget, std::function<void()> drop)
    : budget_(budget)
    , drop_(std::move(drop))
    , entry_(budget.shares_.insert(budget.shares_.end(), this)) {}

ReadBudget::Share::~Share() {
    budget_.held_ -= bytes_;
    budget_.shares_.erase(entry_);
}

bool ReadBudget::Share::hold(std::size_t bytes) {
    if (dropped_) return false;
    budget_.held_ = budget_.held_ - bytes_ + bytes;
    bytes_ = bytes;
    while (budget_.held_ > budget_.limit_) {
        Share* victim = budget_.largestUntrusted();
        if (!victim) victim = this;
        budget_.held_ -= victim->bytes_;
        victim->bytes_ = 0;
        victim->dropped_ = true;
        victim->drop_();
        if (victim == this) return false;
    }
    return true;
}

ReadBudget::Share* ReadBudget::largestUntrusted() const {
    Share* largest = nullptr;
    for (Share* share : shares_)
        if (!share->trusted_ && !share->dropped_ && share->bytes_ > 0 &&
            (!largest || share->bytes_ > largest->bytes_))
            largest = share;
    return largest;
}

} // namespace pavix
