#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <sys/types.h>

namespace fake {

/// The agent's side of one stdio MCP server: a child process talked to in
/// newline-delimited JSON-RPC. Reading is driven by the agent's own wait loop.
class McpClient {
public:
    McpClient() = default;
    ~McpClient() { stop(); }
    McpClient(const McpClient&) = delete;
    McpClient& operator=(const McpClient&) = delete;

    /// Starts {"command", "args"} with its standard input and output on pipes; standard
    /// error and the environment are inherited. An error text when it cannot start.
    std::optional<std::string> start(const nlohmann::json& server);
    bool running() const { return pid_ > 0; }

    void send(const nlohmann::json& message);
    /// The descriptor to poll for the server's output; -1 once it has ended.
    int outputDescriptor() const { return eof_ ? -1 : out_; }
    /// Reads what is available; false at end of output.
    bool readSome();
    std::optional<std::string> takeLine();
    bool ended() const { return eof_; }

    /// Asks the server to end with SIGINT (its input stays open, as the real agent
    /// does), reaps it, and falls back to SIGKILL after a few seconds.
    /// Describes how it ended ("exit 0", "signal 2"), or nothing when it was not running.
    std::optional<std::string> stop();

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool eof_ = false;
    std::string buffer_;
};

} // namespace fake
