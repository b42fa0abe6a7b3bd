#pragma once

#include "FakeAgent.h"
#include "HttpClient.h"
#include "LoopbackPort.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace pavix::test {

/// The real `pavix-bridge serve`, started with its own home folder (a TempHome, also
/// set as this process's $HOME), a bridge.json on a free loopback port with a known
/// key, and the fake agent as Claude Code. Its standard error (the log) goes to a file.
/// Ended with SIGTERM (SIGKILL after 15 s) and reaped when destroyed, which fails the
/// test unless it then exits with status 0.
class BridgeServer {
public:
    struct Options {
        std::string key = "test-key-5f1d8c2a9b7e4d3c";
        std::optional<std::string> settings = "direct";
        std::optional<std::string> project;
        /// Added to (or, with nullopt, removed from) the service's environment.
        std::map<std::string, std::optional<std::string>> environment;
        /// PAVIX_CLAUDE_PATH; nullopt leaves the variable unset.
        std::optional<std::filesystem::path> claudePath = fakeAgentPath();
    };

    /// Prepares the home folder and files; does not start the service.
    BridgeServer();
    explicit BridgeServer(Options options);
    ~BridgeServer();
    BridgeServer(const BridgeServer&) = delete;
    BridgeServer& operator=(const BridgeServer&) = delete;

    /// Writes the scenario every later agent launch reads; its record goes to
    /// recordFile() unless the scenario names one.
    void setScenario(Scenario scenario);
    /// Writes bridge.json (unless `writeConfig` is false: then the service's own file,
    /// or the one a test wrote, is used), starts the service and waits until its port
    /// accepts connections (10 s at most).
    ::testing::AssertionResult start(bool writeConfig = true);
    /// Ends the service (SIGTERM, then SIGKILL after `grace`: the service first stops
    /// its runs, which may take 8 s); how it ended: its exit status, or 128 + signal.
    /// -1 when it was not running.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(15));
    /// stop(), then start() again on the same home, port and key.
    ::testing::AssertionResult restart();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    std::uint16_t port() const { return port_; }
    const std::string& key() const { return options_.key; }
    const TempHome& home() const { return *home_; }
    const std::filesystem::path& homePath() const { return home_->path(); }
    /// The service's log (its standard error) so far, across restarts.
    std::string log() const;
    /// Waits until the log holds `text` (polling; `limit` only guards against a hang).
    bool waitForLog(const std::string& text, std::chrono::milliseconds limit = 10s) const;

    std::filesystem::path recordFile() const { return scratch_.path() / "agent-record.jsonl"; }
    /// The agents' "start" records of runs (not of version probes), in order.
    std::vector<json> runLaunches() const;
    /// Waits until the agents have recorded at least `count` entries of `kind`
    /// ("start", "stdin", "signal", "approval", "exit", ...); returns those entries.
    std::vector<json> waitForRecord(const std::string& kind, std::size_t count = 1,
                                    std::chrono::milliseconds limit = 10s) const;
    std::filesystem::path scenarioFile() const { return scratch_.path() / "scenario.json"; }

    HttpClient client() const { return HttpClient(port_, options_.key); }

private:
    Options options_;
    std::unique_ptr<TempHome> home_;
    TempFolder scratch_;
    std::uint16_t port_;
    pid_t pid_ = -1;
};

/// Starts a run with `body`, which must be accepted; its id, or "" (with a failure).
std::string startRun(HttpClient& client, const json& body);
/// Polls until `condition` holds; the limit only guards against a hang.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s);
/// The children of process `pid` (Linux: from /proc).
std::vector<pid_t> childrenOf(pid_t pid);
/// The open descriptors of process `pid`, each with what it refers to, in a stable order.
std::vector<std::string> openDescriptors(pid_t pid);

} // namespace pavix::test
