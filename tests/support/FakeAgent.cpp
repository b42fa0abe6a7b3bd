#include "FakeAgent.h"

#include "TempHome.h"

#include "util/Text.h"

#include <fstream>

namespace pavix::test {

std::filesystem::path fakeAgentPath() {
    return FAKE_CLAUDE_PATH;
}

namespace step {

json init(json overrides) {
    return {{"init", overrides.empty() ? json(true) : std::move(overrides)}};
}
json status(const std::string& status) {
    return {{"status", status}};
}
json streamEvent(json event) {
    return {{"stream_event", std::move(event)}};
}
json delta(const std::string& text) {
    return {{"delta", text}};
}
json text(const std::string& text) {
    return {{"text", text}};
}
json toolUse(const std::string& id, const std::string& name, json input) {
    return {{"tool_use", {{"id", id}, {"name", name}, {"input", std::move(input)}}}};
}
json assistant(json blocks) {
    return {{"assistant", std::move(blocks)}};
}
json toolResult(const std::string& toolUseId, json content, bool isError) {
    return {{"tool_result",
             {{"tool_use_id", toolUseId}, {"content", std::move(content)}, {"is_error", isError}}}};
}
json userText(const std::string& text) {
    return {{"user_text", text}};
}
json result(json fields) {
    return {{"result", std::move(fields)}};
}
json success(const std::string& resultText) {
    return result({{"result", resultText}});
}
json line(json value) {
    return {{"line", std::move(value)}};
}

static std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

json raw(const std::string& bytes) {
    return isValidUTF8(bytes) ? json{{"raw", bytes}} : json{{"raw_hex", hex(bytes)}};
}
json toStderr(const std::string& bytes) {
    return isValidUTF8(bytes) ? json{{"stderr", bytes}} : json{{"stderr_hex", hex(bytes)}};
}
json sleep(double seconds) {
    return {{"sleep", seconds}};
}
json exit(int status) {
    return {{"exit", status}};
}
json die(int signal) {
    return {{"die", signal}};
}
json awaitInput() {
    return {{"await_input", true}};
}
json note(json value) {
    return {{"note", std::move(value)}};
}
json batch(Steps steps, std::vector<std::size_t> cuts, double pause) {
    return {{"batch", std::move(steps)}, {"cuts", std::move(cuts)}, {"pause", pause}};
}
json chunked(Steps steps, std::size_t size, double pause) {
    return {{"batch", std::move(steps)}, {"chunk_size", size}, {"pause", pause}};
}
json repeat(Steps steps, int times) {
    return {{"repeat", std::move(steps)}, {"times", times}};
}
json approve(const Approval& approval) {
    return {{"approve",
             {{"tool_name", approval.toolName},
              {"input", approval.input},
              {"tool_use_id", approval.toolUseId},
              {"output", approval.output},
              {"announce", approval.announce},
              {"report", approval.report},
              {"on_allow", approval.onAllow},
              {"on_deny", approval.onDeny}}}};
}

json closeStdout() {
    return {{"close_stdout", true}};
}
json stderrFlood(std::size_t bytes) {
    return {{"stderr_flood", bytes}};
}
json garbage(std::size_t bytes, unsigned seed) {
    return {{"garbage", bytes}, {"seed", seed}};
}
json spawn(std::vector<std::string> argv) {
    return {{"spawn", std::move(argv)}};
}

} // namespace step

namespace turn {

namespace {

void append(Steps& to, Steps more) {
    to.insert(to.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

} // namespace

Steps messageStart() {
    return {step::streamEvent({{"type", "message_start"},
                               {"message", {{"role", "assistant"}, {"content", json::array()}}}})};
}

Steps messageEnd(const std::string& stopReason) {
    return {
        step::streamEvent({{"type", "message_delta"}, {"delta", {{"stop_reason", stopReason}}}}),
        step::streamEvent({{"type", "message_stop"}})};
}

Steps textBlock(const std::string& text, int pieces, int index) {
    Steps steps{step::streamEvent({{"type", "content_block_start"},
                                   {"index", index},
                                   {"content_block", {{"type", "text"}, {"text", ""}}}})};
    std::size_t size = pieces > 0 ? (text.size() + static_cast<std::size_t>(pieces) - 1) /
                                        static_cast<std::size_t>(pieces)
                                  : text.size();
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.size(), at + std::max<std::size_t>(size, 1));
        // Never cut inside a UTF-8 sequence.
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
        json delta = step::delta(text.substr(at, end - at));
        delta["index"] = index;
        steps.push_back(std::move(delta));
        at = end;
    }
    steps.push_back(step::streamEvent({{"type", "content_block_stop"}, {"index", index}}));
    steps.push_back(step::text(text));
    return steps;
}

Steps toolBlockStream(const std::string& id, const std::string& name, const json& input,
                      int index) {
    return {step::streamEvent(
                {{"type", "content_block_start"},
                 {"index", index},
                 {"content_block",
                  {{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", json::object()}}}}),
            step::streamEvent(
                {{"type", "content_block_delta"},
                 {"index", index},
                 {"delta", {{"type", "input_json_delta"}, {"partial_json", input.dump()}}}}),
            step::streamEvent({{"type", "content_block_stop"}, {"index", index}})};
}

Steps reply(const std::string& text, int pieces) {
    Steps steps{step::init()};
    append(steps, messageStart());
    append(steps, textBlock(text, pieces));
    append(steps, messageEnd());
    steps.push_back(step::success(text));
    return steps;
}

Steps toolCall(const step::Approval& approval, const std::string& finalText) {
    Steps steps{step::init()};
    append(steps, messageStart());
    append(steps, textBlock("Let me check.", 2));
    append(steps, toolBlockStream(approval.toolUseId, approval.toolName, approval.input, 1));
    if (approval.announce)
        steps.push_back(step::toolUse(approval.toolUseId, approval.toolName, approval.input));
    append(steps, messageEnd("tool_use"));
    step::Approval asked = approval;
    asked.announce = false; // announced above, inside its message
    steps.push_back(step::approve(asked));
    append(steps, messageStart());
    append(steps, textBlock(finalText, 2));
    append(steps, messageEnd());
    steps.push_back(step::result({{"result", finalText}, {"num_turns", 2}}));
    return steps;
}

Steps interrupted() {
    return {step::userText("[Request interrupted by user]"),
            step::result({{"subtype", "error_during_execution"},
                          {"is_error", true},
                          {"result", nullptr},
                          {"errors", {"Request was aborted."}}}),
            step::sleep(0.1), step::exit(0)};
}

} // namespace turn

Scenario& Scenario::version(const std::string& text) {
    return set("version", text);
}
Scenario& Scenario::versionHangs() {
    return set("version_hang", true);
}
Scenario& Scenario::sessionId(const std::string& id) {
    return set("session_id", id);
}
Scenario& Scenario::recordTo(const std::filesystem::path& file) {
    return set("record", file.string());
}
Scenario& Scenario::atStart(Steps steps) {
    return set("start", std::move(steps));
}
Scenario& Scenario::thenTurn(Steps steps) {
    doc_["turns"].push_back(std::move(steps));
    return *this;
}
Scenario& Scenario::everyTurn(Steps steps) {
    return set("turn", std::move(steps));
}
Scenario& Scenario::onEndOfInput(Steps steps) {
    return set("on_eof", std::move(steps));
}
Scenario& Scenario::onSigint(Steps steps) {
    return set("on_sigint", std::move(steps));
}
Scenario& Scenario::ignoreSigint() {
    return set("on_sigint", "ignore");
}
Scenario& Scenario::ignoreSigterm() {
    return set("on_sigterm", "ignore");
}
Scenario& Scenario::mcpAtStart() {
    return set("mcp_at_start", true);
}
Scenario& Scenario::set(const std::string& member, json value) {
    doc_[member] = std::move(value);
    return *this;
}
void Scenario::writeTo(const std::filesystem::path& file) const {
    writeText(file, doc_.dump(2));
}

namespace scenario {

Scenario replying(const std::string& text) {
    return Scenario().everyTurn(turn::reply(text)).interruptLikeClaude();
}

Scenario withToolCall(const step::Approval& approval, const std::string& finalText) {
    return Scenario()
        .thenTurn(turn::toolCall(approval, finalText))
        .everyTurn(turn::reply(finalText))
        .interruptLikeClaude();
}

} // namespace scenario

std::vector<json> readRecord(const std::filesystem::path& file) {
    std::vector<json> entries;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        json entry = json::parse(line, nullptr, false);
        if (!entry.is_discarded()) entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<json> recorded(const std::filesystem::path& file, const std::string& kind) {
    std::vector<json> entries;
    for (auto& entry : readRecord(file))
        if (entry.value("kind", "") == kind) entries.push_back(std::move(entry));
    return entries;
}

std::vector<std::string> recordedMessages(const std::filesystem::path& file) {
    std::vector<std::string> texts;
    for (const auto& entry : recorded(file, "stdin")) {
        json message = json::parse(entry.value("line", ""), nullptr, false);
        std::string text = entry.value("line", "");
        if (message.is_object() && message.contains("message") && message["message"].is_object()) {
            const json& content = message["message"].value("content", json());
            if (content.is_array() && !content.empty() && content[0].is_object() &&
                content[0].contains("text") && content[0]["text"].is_string())
                text = content[0]["text"].get<std::string>();
        }
        texts.push_back(text);
    }
    return texts;
}

} // namespace pavix::test
