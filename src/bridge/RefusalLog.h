#pragma once

#include "util/Async.h"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace pavix {

/// Logs requests refused for their key without letting a peer flood the log: at most one
/// line per peer address per interval (a minute), "unauthorized requests from <address>: <count>".
/// A peer's first refusal is logged at once; later ones within its interval are counted
/// and logged when the interval is over (by a timer, so no count waits for a refusal that
/// may never come), which starts the peer's next interval. A peer quiet for a whole
/// interval is forgotten. At most `maxPeers` addresses are tracked; refusals from any
/// other address are counted together as from "other addresses". The presented key is
/// never logged. Loop-affine; the timer runs only while some peer is tracked.
class RefusalLog {
public:
    static constexpr std::size_t maxPeers = 1024;
    static constexpr std::chrono::seconds defaultInterval{60};

    explicit RefusalLog(asio::any_io_executor executor,
                        std::chrono::steady_clock::duration interval = defaultInterval);
    RefusalLog(const RefusalLog&) = delete;
    RefusalLog& operator=(const RefusalLog&) = delete;

    /// A request from `address` was refused for its key.
    void note(std::string_view address);

private:
    using Clock = std::chrono::steady_clock;
    struct Peer {
        Clock::time_point since; ///< when its current interval began, with a line
        std::uint64_t unlogged = 0;
    };
    void sweep();
    void arm();

    const Clock::duration interval_;
    asio::steady_timer timer_;
    bool armed_ = false;
    std::map<std::string, Peer, std::less<>> peers_;
};

} // namespace pavix
