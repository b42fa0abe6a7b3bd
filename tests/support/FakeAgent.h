#pragma once

// Builders for fake_claude's scenarios (the language is described in
// tests/fake_claude/README.md) and readers for what it records.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace pavix::test {

using json = nlohmann::json;
using Steps = std::vector<json>;

/// The environment variable that names fake_claude's scenario file.
inline constexpr const char* scenarioVariable = "FAKE_AGENT_SCENARIO";

/// The built fake agent.
std::filesystem::path fakeAgentPath();

/// Single steps.
namespace step {
json init(json overrides = json::object());
json status(const std::string& status);
json streamEvent(json event);
json delta(const std::string& text);
json text(const std::string& text);
json toolUse(const std::string& id, const std::string& name, json input);
json assistant(json blocks);
json toolResult(const std::string& toolUseId, json content, bool isError = false);
json userText(const std::string& text);
/// A "result" line: subtype "success", is_error false and result "" unless `fields` say
/// otherwise; a null member in `fields` is left out of the line.
json result(json fields = json::object());
json success(const std::string& resultText);
/// A line written verbatim: a string as it is, anything else as compact JSON.
json line(json value);
/// Bytes to standard output as they are (any bytes, valid UTF-8 or not).
json raw(const std::string& bytes);
json toStderr(const std::string& bytes);
json sleep(double seconds);
json exit(int status);
json die(int signal);
json awaitInput();
json note(json value);
/// The output of `steps` in one write, or split at the byte offsets `cuts` with `pause`
/// seconds between the writes.
json batch(Steps steps, std::vector<std::size_t> cuts = {}, double pause = 0.05);
/// The output of `steps` written `size` bytes at a time.
json chunked(Steps steps, std::size_t size, double pause = 0.01);
/// `steps` run `times` times; "{{i}}" in them is the pass, counted from 1.
json repeat(Steps steps, int times);

struct Approval {
    std::string toolName = "Bash";
    json input = json::object();
    std::string toolUseId = "toolu_01";
    std::string output = "done"; ///< the tool result when allowed
    bool announce = true;        ///< write the tool_use line first
    bool report = true;          ///< write the tool_result line after
    Steps onAllow;
    Steps onDeny;
};
/// Asks the MCP server of --mcp-config for permission, as the real agent does.
json approve(const Approval& approval);

// Faults.
/// Standard output goes to /dev/null from here on; the agent lives on.
json closeStdout();
/// `bytes` bytes of numbered noise lines to standard error.
json stderrFlood(std::size_t bytes);
/// `bytes` pseudo-random bytes (newlines and invalid UTF-8 included) to standard output.
json garbage(std::size_t bytes, unsigned seed = 1);
/// Starts `argv` in the background holding the agent's standard descriptors; its pid
/// is recorded as {"kind": "spawn", "pid": n}.
json spawn(std::vector<std::string> argv);
} // namespace step

/// Step sequences shaped like the real agent (Claude Code 2.1.x): every line carries the
/// session id; each user message gets its own init line and its own result; each content
/// block of a model message is streamed (start, deltas, stop) and then written as its own
/// "assistant" line.
namespace turn {
/// The stream events that open and close one model message.
Steps messageStart();
Steps messageEnd(const std::string& stopReason = "end_turn");
/// One text block: its stream events with the text in `pieces` deltas, then the
/// "assistant" line holding it.
Steps textBlock(const std::string& text, int pieces = 2, int index = 0);
/// The stream events of one tool_use block (its "assistant" line is step::toolUse, or
/// the approval step's announcement).
Steps toolBlockStream(const std::string& id, const std::string& name, const json& input,
                      int index = 1);
/// init, the text streamed as `pieces` deltas, the assistant text line, a successful
/// result carrying the text.
Steps reply(const std::string& text, int pieces = 2);
/// init, some streamed text, a tool call that asks for approval, then a closing text
/// and the result `finalText`. The tool result says "done", or the denial.
Steps toolCall(const step::Approval& approval, const std::string& finalText = "finished");
/// The real agent's answer to SIGINT: the user line "[Request interrupted by user]",
/// a result {"subtype": "error_during_execution", "is_error": true, "errors": [...]}
/// without "result", and exit 0 about 0.1 s later.
Steps interrupted();
} // namespace turn

/// A scenario for fake_claude, built fluently and written to a file.
class Scenario {
public:
    Scenario() = default;

    Scenario& version(const std::string& text);
    Scenario& versionHangs();
    Scenario& sessionId(const std::string& id);
    Scenario& recordTo(const std::filesystem::path& file);
    Scenario& atStart(Steps steps);
    /// Appends the answer to the next input line.
    Scenario& thenTurn(Steps steps);
    /// The answer to every input line beyond the `thenTurn` ones.
    Scenario& everyTurn(Steps steps);
    Scenario& onEndOfInput(Steps steps);
    Scenario& onSigint(Steps steps);
    Scenario& ignoreSigint();
    Scenario& ignoreSigterm();
    /// SIGINT handled like the real agent (turn::interrupted()).
    Scenario& interruptLikeClaude() { return onSigint(turn::interrupted()); }
    Scenario& mcpAtStart();
    Scenario& set(const std::string& member, json value);

    const json& document() const { return doc_; }
    bool recording() const { return doc_.contains("record"); }
    void writeTo(const std::filesystem::path& file) const;

private:
    json doc_ = json::object();
};

/// Ready-made scenarios.
namespace scenario {
/// Every message answered with turn::reply(text), SIGINT like the real agent.
Scenario replying(const std::string& text = "Hello from the fake agent.");
/// The first message answered with one approved-or-denied tool call.
Scenario withToolCall(const step::Approval& approval, const std::string& finalText = "finished");
} // namespace scenario

/// The entries fake_claude recorded, in order (empty when the file is missing).
std::vector<json> readRecord(const std::filesystem::path& file);
/// Only the entries of one "kind" ("start", "stdin", "signal", "approval", "mcp", ...).
std::vector<json> recorded(const std::filesystem::path& file, const std::string& kind);
/// The user-message texts the agent received on standard input, in order.
std::vector<std::string> recordedMessages(const std::filesystem::path& file);

} // namespace pavix::test
