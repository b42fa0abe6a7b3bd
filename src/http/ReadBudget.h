#pragma once

#include "http/Limits.h"

#include <cstddef>
#include <functional>
#include <list>
#include <span>
#include <vector>

namespace pavix {

/// The memory held by the requests being read on one loop, kept within a limit.
///
/// Past the limit the largest buffers of peers that have not shown the key are dropped
/// (their connections closed), rather than reading paused: a pause would let strangers
/// holding slow, never-finished heads stall the phone and /health for as long as they
/// like, while dropping the largest costs a real client nothing, its heads being small.
/// Loop-affine.
class ReadBudget {
public:
    explicit ReadBudget(std::size_t limit = requestBufferBudget)
        : limit_(limit)
        , readArea_(readChunkSize) {}
    ReadBudget(const ReadBudget&) = delete;
    ReadBudget& operator=(const ReadBudget&) = delete;

    /// One connection's part of the budget, from its first byte until its request is
    /// handed on. Must not outlive its budget.
    class Share {
    public:
        /// `drop` frees what the connection holds and ends its reading; it is called at
        /// most once, from another connection's `hold`.
        Share(ReadBudget& budget, std::function<void()> drop);
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        /// Records that the connection now holds `bytes`. Past the limit, drops the
        /// largest shares of untrusted peers, then (when only trusted ones are left) this
        /// one, until the total fits; false when this share had to go.
        bool hold(std::size_t bytes);
        /// The peer showed the key: its share goes only when no stranger's is left.
        void trust() { trusted_ = true; }

    private:
        friend class ReadBudget;
        ReadBudget& budget_;
        std::function<void()> drop_;
        std::size_t bytes_ = 0;
        bool trusted_ = false;
        bool dropped_ = false;
        std::list<Share*>::iterator entry_;
    };

    /// What all shares hold together.
    std::size_t held() const { return held_; }
    /// Where every connection reads before its parser takes the bytes: one area for the
    /// loop rather than a buffer per connection.
    std::span<char> readArea() { return readArea_; }

private:
    Share* largestUntrusted() const;

    std::size_t limit_;
    std::size_t held_ = 0;
    std::list<Share*> shares_;
    std::vector<char> readArea_;
};

} // namespace pavix
