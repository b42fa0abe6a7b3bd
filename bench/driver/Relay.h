#pragma once

#include "Net.h"
#include "Service.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pavix::bench {

/// What one pass of deltas through one path looked like from the readers' side.
struct Pass {
    bool ok = false;
    double perReaderRate = 0; ///< deltas per second each reader got, until the last had all
    std::vector<double> latencies;
    double relayCpu = 0; ///< CPU seconds of the relaying process (0 for the plain pipe)
    double peakRssMiB = 0;
};

/// Reads every descriptor until it ends or the deadline passes; `stopWhenStarted` returns
/// as soon as every counter has seen its stream's head.
void readAll(const std::vector<int>& fds, std::vector<DeltaCounter>& counters,
             std::chrono::steady_clock::time_point deadline, bool stopWhenStarted,
             std::vector<bool>& open);
/// Lets an agent start: it waits to open the FIFO `fifo` for reading until a writer comes.
bool openGate(const std::string& fifo);
/// The bench agent's words for `count` deltas at `rate` (0 floods), started by `fifo`.
std::string agentWords(std::uint64_t count, std::uint64_t rate, const std::string& fifo);
/// The pass the counters saw: whole when each has all `count` deltas and the end; its rate
/// from `gateNs`, when the agent was let go, to the last delta.
Pass finishPass(const std::vector<DeltaCounter>& counters, std::uint64_t count,
                std::int64_t gateNs);

/// `count` deltas at `rate` (0 floods), with each one's latency when `latencies`: read
/// straight from the agent's pipe by one reader, ...
Pass pipePass(const Programs& programs, std::uint64_t count, std::uint64_t rate, bool latencies);
/// ... copied to `readers` loopback sockets by the minimal forwarder, ...
Pass forwarderPass(const Programs& programs, std::size_t readers, std::uint64_t count,
                   std::uint64_t rate, bool latencies);
/// ... or followed by `readers` subscribers of a run of a fresh service, or of a warm one
/// (measured on its second run, after a first one as long).
Pass servicePass(const Programs& programs, Server server, bool warm, std::size_t readers,
                 std::uint64_t count, std::uint64_t rate, bool latencies);

} // namespace pavix::bench
