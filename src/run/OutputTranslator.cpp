#include "run/OutputTranslator.h"

#include "util/Ids.h"
#include "util/Json.h"

#include <simdjson.h>

#include <cstring>

namespace pavix {

using nlohmann::json;

namespace {

// No message of Claude Code's comes near this; an endless line must not take the memory.
constexpr std::size_t lineLimit = 32 << 20;
// Text deltas are short; a longer line goes straight to the whole-tree parser rather than
// growing the fast parser's buffers for good.
constexpr std::size_t fastLineLimit = 256 << 10;
constexpr std::size_t padding = simdjson::SIMDJSON_PADDING;

// The content blocks of message.content; none unless it is a list of objects only.
const json& contentBlocks(const json& message) {
    static const json none = json::array();
    const json* inner = objectAt(message, "message");
    auto content = inner ? inner->find("content") : json::const_iterator();
    if (!inner || content == inner->end() || !content->is_array()) return none;
    for (const auto& block : *content)
        if (!block.is_object()) return none;
    return *content;
}

// The inside of a string token: without its quotes and the spaces after it.
std::string_view tokenText(std::string_view token) {
    while (!token.empty() && token.back() != '"')
        token.remove_suffix(1);
    return token.size() >= 2 ? token.substr(1, token.size() - 2) : std::string_view();
}

bool needsEscaping(std::string_view text) {
    for (char c : text)
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) return true;
    return false;
}

} // namespace

/// The output's bytes since the last complete line, with room for the fast parser to
/// read past a line's end.
struct OutputTranslator::Lines {
    std::unique_ptr<char[]> data;
    std::size_t size = 0, capacity = 0;
    bool dropping = false; ///< the line being read has been dropped as overlong

    void append(std::string_view chunk) {
        if (size + chunk.size() + padding > capacity) {
            std::size_t grown = std::max(2 * capacity, size + chunk.size() + padding);
            std::unique_ptr<char[]> bigger(
                new char[grown]); // not zeroed: it is written before it is read
            if (size > 0) std::memcpy(bigger.get(), data.get(), size);
            data = std::move(bigger);
            capacity = grown;
        }
        std::memcpy(data.get() + size, chunk.data(), chunk.size());
        size += chunk.size();
        // The fast parser may look past a line's end: give it defined bytes there.
        std::memset(data.get() + size, ' ', padding);
    }
};

/// Reads a "stream_event" line's few fields in place.
struct OutputTranslator::FastPath {
    simdjson::ondemand::parser parser{fastLineLimit};

    enum class Outcome { delta, ignored, unsure };
    Outcome read(std::string_view line, std::size_t room, std::string_view& token,
                 std::string_view& text) {
        simdjson::padded_string_view view(line.data(), line.size(), line.size() + room);
        simdjson::ondemand::document doc;
        std::string_view type, eventType, deltaType;
        if (parser.iterate(view).get(doc) || doc["type"].get_string().get(type))
            return Outcome::unsure;
        if (type != "stream_event") return Outcome::unsure;
        auto event = doc["event"];
        if (event["type"].get_string().get(eventType)) return Outcome::unsure;
        if (eventType != "content_block_delta") return Outcome::ignored;
        auto delta = event["delta"];
        simdjson::ondemand::value value;
        if (delta["type"].get_string().get(deltaType)) return Outcome::unsure;
        if (deltaType != "text_delta") return Outcome::ignored;
        if (delta["text"].get(value)) return Outcome::unsure;
        token = tokenText(value.raw_json_token());
        if (!needsEscaping(token)) {
            text = token;
            return Outcome::delta;
        }
        return value.get_string().get(text) ? Outcome::unsure : Outcome::delta;
    }
};

OutputTranslator::OutputTranslator(OutputListener& listener)
    : listener_(listener)
    , fast_(std::make_unique<FastPath>())
    , lines_(std::make_unique<Lines>()) {}

OutputTranslator::~OutputTranslator() = default;

void OutputTranslator::consume(std::string_view chunk) {
    Lines& lines = *lines_;
    const std::size_t scanFrom = lines.size;
    lines.append(chunk);
    const char* data = lines.data.get();
    std::size_t start = 0;
    for (auto at =
             static_cast<const char*>(std::memchr(data + scanFrom, '\n', lines.size - scanFrom));
         at; at = static_cast<const char*>(std::memchr(data + start, '\n', lines.size - start))) {
        auto end = static_cast<std::size_t>(at - data);
        if (!lines.dropping)
            translate(std::string_view(data + start, end - start), lines.capacity - end);
        lines.dropping = false;
        start = end + 1;
    }
    std::memmove(lines.data.get(), data + start, lines.size - start);
    lines.size -= start;
    if (lines.size > lineLimit) {
        lines = Lines{};
        lines.dropping = true;
    }
}

void OutputTranslator::translate(std::string_view line, std::size_t room) {
    if (line.size() <= fastLineLimit) {
        std::string_view token, text;
        switch (fast_->read(line, room, token, text)) {
        case FastPath::Outcome::ignored:
            return;
        case FastPath::Outcome::unsure:
            break;
        case FastPath::Outcome::delta:
            sawDelta_ = true;
            if (text.data() == token.data()) return listener_.delta(token, text);
            escaped_.clear();
            appendEscaped(escaped_, text);
            return listener_.delta(escaped_, text);
        }
    }
    translateTree(line);
}

void OutputTranslator::emitDelta(std::string_view text) {
    escaped_.clear();
    appendEscaped(escaped_, text);
    listener_.delta(escaped_, text);
}

void OutputTranslator::translateTree(std::string_view line) {
    json message = json::parse(line, nullptr, false);
    const std::string* type = stringAt(message, "type");
    if (!type) return;
    if (*type == "system") {
        const std::string* subtype = stringAt(message, "subtype");
        const std::string* session = stringAt(message, "session_id");
        if (subtype && *subtype == "init" && session) listener_.session(*session);
    } else if (*type == "stream_event") {
        const json* event = objectAt(message, "event");
        const json* delta = event ? objectAt(*event, "delta") : nullptr;
        const std::string* eventType = event ? stringAt(*event, "type") : nullptr;
        const std::string* deltaType = delta ? stringAt(*delta, "type") : nullptr;
        const std::string* text = delta ? stringAt(*delta, "text") : nullptr;
        if (!eventType || *eventType != "content_block_delta" || !deltaType ||
            *deltaType != "text_delta" || !text)
            return;
        sawDelta_ = true;
        emitDelta(*text);
    } else if (*type == "assistant") {
        assistant(message);
    } else if (*type == "user") {
        user(message);
    } else if (*type == "result") {
        TurnResult result;
        if (const std::string* session = stringAt(message, "session_id"))
            result.sessionId = *session;
        if (const std::string* text = stringAt(message, "result")) result.text = *text;
        const std::string* subtype = stringAt(message, "subtype");
        result.failed =
            booleanAt(message, "is_error").value_or(false) || (subtype && *subtype != "success");
        listener_.result(std::move(result));
    }
}

void OutputTranslator::assistant(const json& message) {
    const bool streamed = std::exchange(sawDelta_, false);
    for (const auto& block : contentBlocks(message)) {
        const std::string* type = stringAt(block, "type");
        if (!type) continue;
        if (*type == "text") {
            const std::string* text = stringAt(block, "text");
            if (!streamed && text && !text->empty()) emitDelta(*text);
        } else if (*type == "tool_use") {
            const std::string* name = stringAt(block, "name");
            const std::string* id = stringAt(block, "id");
            std::string tool = name ? *name : "tool";
            tools_[id ? *id : newUUID()] = ToolCall{tool, std::chrono::steady_clock::now()};
            listener_.event(toolStarted(tool, objectAt(block, "input")));
        }
    }
}

void OutputTranslator::user(const json& message) {
    for (const auto& block : contentBlocks(message)) {
        const std::string* type = stringAt(block, "type");
        if (!type || *type != "tool_result") continue;
        const std::string* id = stringAt(block, "tool_use_id");
        if (id) listener_.toolResult(*id);
        auto call = tools_.find(id ? *id : std::string());
        if (call == tools_.end()) continue;
        std::chrono::duration<double> seconds =
            std::chrono::steady_clock::now() - call->second.started;
        listener_.event(toolCompleted(call->second.name, seconds.count(),
                                      booleanAt(block, "is_error").value_or(false)));
        tools_.erase(call);
    }
}

} // namespace pavix
