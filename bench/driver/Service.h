#pragma once

#include "HTTPClient.h"
#include "LoopbackPort.h"
#include "System.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace pavix::bench {

/// Paths of the programs the driver starts.
struct Programs {
    std::string bridge;
    std::string agent;
    std::string forwarder;
    std::string bareServer;
    std::string micro;
    std::string node;      ///< the Node.js executable; empty when there is none
    std::string nodeRelay; ///< bench/node/relay.js
};

/// What answers the API: the real service, or the plain Node.js relay it is compared with.
enum class Server { bridge, node };

/// A real `pavix-bridge serve` (or the Node.js relay) in a home folder of its own, with a
/// reserved port, a known key and the bench agent as Claude Code. Ended (SIGKILL) on
/// destruction.
class Service {
public:
    explicit Service(const Programs& programs, Server server = Server::bridge);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    /// Starts the process, allowing `maxRuns` runs at once, and waits up to `patience` until
    /// it answers HTTP; false on failure.
    bool start(unsigned maxRuns = 1, std::chrono::milliseconds patience = std::chrono::seconds(10));
    pid_t pid() const { return pid_; }
    std::uint16_t port() const { return port_.number(); }
    const std::string& key() const { return key_; }
    std::string folder() const { return home_.path().string(); }
    /// Blocking requests to the service, with its key.
    test::HTTPClient client() const { return test::HTTPClient(port(), key_); }
    /// What the agent of the next runs does (words as in bench/Agent.cpp).
    void setAgent(const std::string& parameters);
    /// POST /v1/runs; the run id, or nothing (the answer is printed) when it was refused.
    std::optional<std::string> startRun();
    /// The service's log so far.
    std::string log() const;

private:
    const Programs& programs_;
    Server server_;
    TempFolder home_;
    test::ReservedPort port_;
    std::string key_ = "bench-key-0123456789abcdefghijklmnopqrstuvwxyz";
    pid_t pid_ = -1;
};

} // namespace pavix::bench
