#pragma once

#include "run/RunEvents.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// A "result" line: the end of one turn of Claude Code's.
struct TurnResult {
    std::optional<std::string> sessionId;
    std::string text; ///< its "result" text, "" when absent
    bool failed = false;
};

/// What Claude Code's output tells the run that reads it.
class OutputListener {
public:
    /// A piece of the reply, as JSON-escaped text (for the log) and as text.
    virtual void delta(std::string_view escaped, std::string_view text) = 0;
    /// A tool started or completed.
    virtual void event(Event event) = 0;
    /// Claude Code's session id, from its "init" line.
    virtual void session(std::string_view id) = 0;
    /// The outcome of tool call `toolUseId` has been reported (whether or not its start was).
    virtual void toolResult(std::string_view /*toolUseId*/) {}
    virtual void result(TurnResult result) = 0;

protected:
    ~OutputListener() = default;
};

/// Cuts Claude Code's standard output (stream-JSON) into lines and translates each into
/// what the listener hears. Lines that are not JSON objects or not understood are
/// skipped; a line over 32 MiB is dropped up to its line feed, so an endless line cannot
/// take the memory. Text deltas, the bulk of the output, are read by simdjson's DOM parser,
/// which checks the whole line; other lines, and any it refuses, go to nlohmann's parser,
/// which has the last word.
class OutputTranslator {
public:
    /// How lines are read: `treeOnlyForTests` is a seam for the differential fuzz target,
    /// which checks the fast path against the whole-tree path alone.
    enum class Reading { fastPath, treeOnlyForTests };
    explicit OutputTranslator(OutputListener& listener, Reading reading = Reading::fastPath);
    ~OutputTranslator();
    OutputTranslator(const OutputTranslator&) = delete;
    OutputTranslator& operator=(const OutputTranslator&) = delete;

    /// The next bytes of the output, cut anywhere.
    void consume(std::string_view chunk);

private:
    struct FastPath;
    struct Lines;
    struct ToolCall {
        std::string name;
        std::chrono::steady_clock::time_point started;
    };

    void translate(std::string_view line);
    void translateTree(std::string_view line);
    void assistant(const nlohmann::json& message);
    void user(const nlohmann::json& message);
    void emitDelta(std::string_view text);

    OutputListener& listener_;
    std::unique_ptr<FastPath> fast_;
    std::unique_ptr<Lines> lines_;
    bool sawDelta_ = false; ///< the turn's text came as deltas: its assistant lines repeat it
    std::map<std::string, ToolCall> tools_;
    std::string escaped_;
};

} // namespace pavix
