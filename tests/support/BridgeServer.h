#pragma once

#include "HTTPClient.h"
#include "LoopbackPort.h"
#include "Spawn.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pavix::test {

using Steps = std::vector<json>;

/// Whether this is the sanitized build, where everything takes several times longer.
inline constexpr bool sanitized = PAVIX_SANITIZED;

/// The fake agent's steps for one answer: init, the text streamed in two deltas and
/// then whole, a successful result with the text.
Steps reply(const std::string& text);
/// The real agent's answer to SIGINT: an error result (so a stopped run ends "cancelled"),
/// then exit 0.
Steps interrupted();
/// A scenario that answers every message with reply(text) and SIGINT as the real agent.
json replying(const std::string& text);

/// The real `pavix-bridge serve` with a home of its own (also this process's $HOME), a
/// bridge.json on a port reserved for it with a known key, and the fake agent as Claude Code, named
/// by a relative path. Its log goes to a file. Destroying it stops it, which fails the
/// test unless the service then exits with status 0 (in sanitized builds: leaked nothing).
class BridgeServer {
public:
    struct Options {
        std::string key = "test-key-5f1d8c2a9b7e4d3c";
        std::optional<std::string> settings = "direct";
        std::optional<std::string> project;
        /// Written as "max_runs" when given (null included).
        std::optional<json> maxRuns;
        std::optional<json> listen; ///< bridge.json's "listen", when given
        /// Added to (or, with nullopt, removed from) the service's environment.
        EnvironmentChanges environment;
    };

    BridgeServer();
    explicit BridgeServer(Options options);
    ~BridgeServer();
    BridgeServer(const BridgeServer&) = delete;
    BridgeServer& operator=(const BridgeServer&) = delete;

    /// The scenario (tests/fake_claude/README.md) every later agent launch plays; its
    /// record goes to this server's record file.
    void setScenario(json scenario);
    /// Writes bridge.json, starts the service and waits until it answers health.
    ::testing::AssertionResult start();
    /// SIGTERM, then SIGKILL after 15 s; how it ended (exit status or 128 + signal).
    int stop();
    pid_t pid() const { return pid_; }
    std::uint16_t port() const { return port_.number(); }
    const std::string& key() const { return options_.key; }
    const TempHome& home() const { return home_; }
    std::string log() const;
    /// A "kB" line of the service's /proc/<pid>/status ("VmRSS", "VmHWM").
    long statusKiB(const std::string& field) const;
    HTTPClient client() const { return HTTPClient(port(), options_.key); }

    /// What the agents recorded of `kind` ("start", "stdin", "signal", "approval", ...)
    /// once there are `count` such entries (or 10 s have passed).
    std::vector<json> record(const std::string& kind, std::size_t count = 0) const;
    /// The "start" entries of runs (the version probe's aside).
    std::vector<json> launches() const;

private:
    Options options_;
    TempHome home_;
    TempFolder scratch_;
    ReservedPort port_;
    pid_t pid_ = -1;
};

/// Starts a run with `body`, which must be accepted; its id.
std::string startRun(HTTPClient& client, const json& body);
/// Polls until `condition` holds; the limit only guards against a hang.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s);
/// The children of process `pid`, from /proc.
std::vector<pid_t> childrenOf(pid_t pid);
/// Whether process `pid` has ended: it is gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid);
/// The open descriptors of process `pid`, each with what it refers to, in a stable order.
std::vector<std::string> openDescriptors(pid_t pid);
/// The descriptors of `pid` once it has no child and they have stayed put for a moment.
std::vector<std::string> settledDescriptors(pid_t pid);

} // namespace pavix::test
