#include "run/ClaudeRun.h"

#include "Log.h"
#include "platform/ChildProcess.h"
#include "util/Ids.h"
#include "util/Text.h"

#include <nlohmann/json.hpp>

#include <csignal>

namespace pavix {

namespace {

using json = nlohmann::json;

constexpr std::size_t previewLength = 300;
constexpr std::size_t errorLength = 400;
// No message of Claude Code's comes near this; an endless line must not take the memory.
constexpr std::size_t lineLimit = 32 << 20;

// Field look-ups: a missing key and a value of another type are both "absent".
const std::string* stringAt(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? &found->get_ref<const std::string&>()
                                                       : nullptr;
}

const json* objectAt(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(key);
    return found != object.end() && found->is_object() ? &*found : nullptr;
}

std::optional<bool> booleanAt(const json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_boolean()) return std::nullopt;
    return found->get<bool>();
}

// The content blocks of message.content; none unless it is a list of objects only.
const json& contentBlocks(const json& message) {
    static const json none = json::array();
    const json* inner = objectAt(message, "message");
    if (!inner) return none;
    auto content = inner->find("content");
    if (content == inner->end() || !content->is_array()) return none;
    for (const auto& block : *content)
        if (!block.is_object()) return none;
    return *content;
}

} // namespace

std::string ClaudeRun::displayName(const std::string& tool) {
    if (tool.rfind("mcp__", 0) != 0) return tool;
    auto last = tool.rfind("__");
    return tool.substr(last + 2);
}

std::optional<std::string> ClaudeRun::preview(const json* input) {
    if (!input) return std::nullopt;
    for (const char* key :
         {"command", "file_path", "path", "pattern", "url", "query", "description", "prompt"}) {
        const std::string* value = stringAt(*input, key);
        if (value && !value->empty()) return firstGraphemes(*value, previewLength);
    }
    return std::nullopt;
}

void ClaudeRun::consume(std::string_view chunk) {
    if (chunk.empty()) return outputEnded();
    buffer_.append(chunk);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto newline = buffer_.find('\n', scanned_); newline != std::string::npos;
         newline = buffer_.find('\n', start)) {
        if (!droppingLine_) lines.emplace_back(buffer_, start, newline - start);
        droppingLine_ = false;
        start = newline + 1;
    }
    buffer_.erase(0, start);
    if (buffer_.size() > lineLimit) {
        buffer_ = std::string();
        droppingLine_ = true;
    }
    scanned_ = buffer_.size();
    for (const auto& line : lines) {
        auto message = json::parse(line, nullptr, false);
        if (message.is_object()) handle(message);
    }
}

void ClaudeRun::outputEnded() {
    // Claude Code can tell nothing more: ask it to finish by closing its input, and end
    // it as a stop would should it live on regardless.
    if (!process_ || !process_->running()) return;
    process_->closeInput();
    process_->signalAfter(options_.stopTerminateAfter, SIGTERM);
    process_->signalAfter(options_.stopTerminateAfter + options_.stopKillAfter, SIGKILL);
}

void ClaudeRun::handle(const json& message) {
    const std::string* type = stringAt(message, "type");
    if (!type) return;
    if (*type == "system") {
        const std::string* subtype = stringAt(message, "subtype");
        const std::string* session = stringAt(message, "session_id");
        if (!subtype || *subtype != "init" || !session) return;
        sessionId_ = *session;
        if (options_.onSession) options_.onSession(*session);
    } else if (*type == "stream_event") {
        const json* event = objectAt(message, "event");
        if (!event) return;
        const std::string* eventType = stringAt(*event, "type");
        const json* delta = objectAt(*event, "delta");
        if (!eventType || *eventType != "content_block_delta" || !delta) return;
        const std::string* deltaType = stringAt(*delta, "type");
        const std::string* text = stringAt(*delta, "text");
        if (!deltaType || *deltaType != "text_delta" || !text) return;
        sawDelta_ = true;
        output_ += *text;
        emit({{"event", "message.delta"}, {"delta", *text}});
    } else if (*type == "assistant") {
        handleAssistant(message);
    } else if (*type == "user") {
        handleUser(message);
    } else if (*type == "result") {
        handleResult(message);
    }
}

void ClaudeRun::handleAssistant(const json& message) {
    bool streamed = sawDelta_;
    for (const auto& block : contentBlocks(message)) {
        const std::string* type = stringAt(block, "type");
        if (!type) continue;
        if (*type == "text") {
            const std::string* text = stringAt(block, "text");
            if (streamed || !text || text->empty()) continue;
            output_ += *text;
            emit({{"event", "message.delta"}, {"delta", *text}});
        } else if (*type == "tool_use") {
            const std::string* name = stringAt(block, "name");
            const std::string* id = stringAt(block, "id");
            std::string tool = name ? *name : "tool";
            tools_[id ? *id : newUUID()] = ToolCall{tool, std::chrono::steady_clock::now()};
            json event = {{"event", "tool.started"}, {"tool", displayName(tool)}};
            if (auto text = preview(objectAt(block, "input"))) event["preview"] = *text;
            emit(std::move(event));
        }
    }
    sawDelta_ = false;
}

void ClaudeRun::handleUser(const json& message) {
    for (const auto& block : contentBlocks(message)) {
        const std::string* type = stringAt(block, "type");
        if (!type || *type != "tool_result") continue;
        const std::string* id = stringAt(block, "tool_use_id");
        auto call = tools_.find(id ? *id : std::string());
        if (call == tools_.end()) continue;
        auto tool = std::move(call->second);
        tools_.erase(call);
        std::chrono::duration<double> duration = std::chrono::steady_clock::now() - tool.started;
        emit({{"event", "tool.completed"},
              {"tool", displayName(tool.name)},
              {"duration", duration.count()},
              {"error", booleanAt(block, "is_error").value_or(false)}});
    }
}

void ClaudeRun::handleResult(const json& message) {
    if (const std::string* session = stringAt(message, "session_id")) sessionId_ = *session;
    if (--openTurns_ > 0) return; // later user messages are still being answered
    const std::string* result = stringAt(message, "result");
    std::string text = result ? *result : std::string();
    const std::string* subtype = stringAt(message, "subtype");
    bool failed =
        booleanAt(message, "is_error").value_or(false) || (subtype && *subtype != "success");
    if (!failed) {
        finish({{"event", "run.completed"},
                {"output", text},
                {"session_id", sessionId_.value_or("")}});
    } else if (cancelled_) {
        // Claude Code answers the interrupt of a stop with an error result.
        finish({{"event", "run.cancelled"}});
    } else {
        finish({{"event", "run.failed"},
                {"error", text.empty() ? "Claude Code stopped with an error." : text}});
    }
    // With no further input Claude Code can exit.
    if (process_) process_->closeInput();
}

void ClaudeRun::processEnded(int status) {
    if (finished_) return;
    if (cancelled_) return finish({{"event", "run.cancelled"}});
    auto tail = trimWhitespaceAndNewlines(stderrTail_);
    std::string message = tail.empty() ? "Claude Code exited (" + std::to_string(status) + ")."
                                       : lastGraphemes(tail, errorLength);
    finish({{"event", "run.failed"}, {"error", message}});
}

void ClaudeRun::finish(json event) {
    if (finished_) return;
    finished_ = true;
    const std::string* name = stringAt(event, "event");
    if (name && *name == "run.completed") {
        status_ = "completed";
        const std::string* output = stringAt(event, "output");
        if (output && !output->empty()) output_ = *output;
    } else if (name && *name == "run.cancelled") {
        status_ = "cancelled";
    } else {
        status_ = "failed";
        const std::string* error = stringAt(event, "error");
        error_ = error ? std::optional<std::string>(*error) : std::nullopt;
    }
    emit(std::move(event));
    auto subscribers = std::exchange(subscribers_, {});
    for (auto& [key, writer] : subscribers)
        writer.finish();
    resolveApproval("deny");
    log("run " + id_ + " " + status_);
}

} // namespace pavix
