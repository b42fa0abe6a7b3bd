#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pavix::bench {

/// A socket listening on 127.0.0.1 on a free port; -1 on failure.
int listenLoopback();
/// The port a bound socket has.
std::uint16_t boundPort(int fd);
/// A blocking connection to 127.0.0.1:port whose reads and writes give up after
/// `timeout`; -1 when the connection was refused.
int connectLoopback(std::uint16_t port, std::chrono::milliseconds timeout);
void setNonBlocking(int fd);

/// The request's bytes, with the bearer key when one is given; for the readers and the
/// load generator, which send them on descriptors of their own.
std::string httpRequest(const std::string& method, const std::string& path,
                        const std::string& key = {}, const std::string& body = {});

/// Counts text deltas in a byte stream as it arrives, and how late each one is.
/// Understands the agent's own lines and the service's event stream alike.
class DeltaCounter {
public:
    enum class Kind { agentLines, eventStream };
    DeltaCounter(Kind kind, bool keepLatencies);

    /// Takes the next bytes, read at `readNs` (CLOCK_MONOTONIC).
    void feed(const char* data, std::size_t size, std::int64_t readNs);

    std::uint64_t deltas() const { return deltas_; }
    std::int64_t lastDeltaNs() const { return lastDeltaNs_; }
    /// The final success arrived (a result line, or the "run.completed" event).
    bool completed() const { return completed_; }
    /// The event stream's head has arrived (always true for agent lines).
    bool started() const { return started_; }
    /// Read time minus send time of each delta, in nanoseconds.
    std::vector<double>& latencies() { return latencies_; }

private:
    void line(const char* begin, const char* end, std::int64_t readNs);
    Kind kind_;
    bool keep_;
    std::string partial_;
    std::uint64_t deltas_ = 0;
    std::int64_t lastDeltaNs_ = 0;
    bool completed_ = false;
    bool started_;
    std::vector<double> latencies_;
};

} // namespace pavix::bench
