#include "bridge/RefusalLog.h"

#include "util/Log.h"

#include <algorithm>

namespace pavix {

namespace {

// Where refusals from addresses beyond the table's budget are counted.
constexpr std::string_view others = "other addresses";

void logRefusals(std::string_view address, std::uint64_t count) {
    log("unauthorized requests from " + std::string(address) + ": " + std::to_string(count));
}

} // namespace

RefusalLog::RefusalLog(asio::any_io_executor executor, Clock::duration interval)
    : interval_(interval)
    , timer_(executor) {}

void RefusalLog::note(std::string_view address) {
    const auto now = Clock::now();
    auto peer = peers_.find(address);
    if (peer == peers_.end() && peers_.size() >= maxPeers) peer = peers_.find(others);
    if (peer == peers_.end()) {
        std::string_view key = peers_.size() >= maxPeers ? others : address;
        peers_.emplace(std::string(key), Peer{now, 0});
        logRefusals(key, 1);
        arm();
        return;
    }
    ++peer->second.unlogged;
    // The timer may not have run yet for an interval that is over.
    if (now - peer->second.since >= interval_) sweep();
}

void RefusalLog::sweep() {
    const auto now = Clock::now();
    for (auto peer = peers_.begin(); peer != peers_.end();) {
        Peer& state = peer->second;
        if (now - state.since < interval_) {
            ++peer;
        } else if (state.unlogged == 0) {
            peer = peers_.erase(peer);
        } else {
            logRefusals(peer->first, std::exchange(state.unlogged, 0));
            state.since = now;
            ++peer;
        }
    }
    arm();
}

// For the earliest end of an interval; not at all once no peer is left.
void RefusalLog::arm() {
    if (peers_.empty()) {
        timer_.cancel();
        armed_ = false;
        return;
    }
    auto earliest = Clock::time_point::max();
    for (const auto& [address, peer] : peers_)
        earliest = std::min(earliest, peer.since);
    const auto due = earliest + interval_;
    if (armed_ && timer_.expiry() <= due) return;
    armed_ = true;
    timer_.expires_at(due);
    timer_.async_wait([this](const boost::system::error_code& error) {
        if (error) return;
        armed_ = false;
        sweep();
    });
}

} // namespace pavix
