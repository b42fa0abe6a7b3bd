#include "run/OutputTranslator.h"

#include "util/Ids.h"
#include "util/Json.h"

#include <simdjson.h>

#include <cstring>
#include <optional>
#include <tuple>
#include <utility>

namespace pavix {

using nlohmann::json;

namespace {

// No message of Claude Code's comes near this; an endless line must not take the memory.
constexpr std::size_t lineLimit = 32 << 20;
// Text deltas are short; a longer line goes straight to the whole-tree parser rather than
// growing the fast parser's buffers (about 13 bytes for each byte of a line) for good.
constexpr std::size_t fastLineLimit = 64 << 10;
// Text deltas are shallow: a deeper line goes to the whole-tree parser, and the fast parser
// keeps a small stack.
constexpr std::size_t fastDepthLimit = 64;
constexpr std::size_t padding = simdjson::SIMDJSON_PADDING;

// The content blocks of message.content; none unless it is a list of objects only.
const json& contentBlocks(const json& message) {
    static const json none = json::array();
    const json* inner = findObject(message, "message");
    auto content = inner ? inner->find("content") : json::const_iterator();
    if (!inner || content == inner->end() || !content->is_array()) return none;
    for (const auto& block : *content)
        if (!block.is_object()) return none;
    return *content;
}

bool needsEscaping(std::string_view text) {
    for (char c : text)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return true;
    return false;
}

using Member = std::optional<simdjson::dom::element>;

// An object's last "type" member and its last one named `other`: the whole-tree parser
// keeps the last of duplicate members, so every member is looked at, in one pass.
template <std::size_t size>
std::pair<Member, Member> typeAnd(simdjson::dom::object object, const char (&other)[size]) {
    std::pair<Member, Member> found;
    for (auto at = object.begin(); at != object.end(); ++at) {
        std::string_view key = at.key();
        if (key == "type")
            found.first = at.value();
        else if (key == std::string_view(other, size - 1))
            found.second = at.value();
    }
    return found;
}

bool isString(const Member& member, std::string_view text) {
    std::string_view value;
    return member && !member->get(value) && value == text;
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

/// Reads a "stream_event" line's few fields. The DOM parser checks the whole line, which
/// On-Demand would not (what it skips goes unchecked): a line is decided here only when the
/// whole-tree parser would read it the same way; any other goes to that parser.
struct OutputTranslator::FastPath {
    simdjson::dom::parser parser{fastLineLimit};

    FastPath() {
        // Growing keeps this depth. Should this fail, the parser tries again at the first
        // line, and a line it cannot read goes to the whole-tree parser.
        std::ignore = parser.allocate(simdjson::dom::MINIMAL_DOCUMENT_CAPACITY, fastDepthLimit);
    }

    enum class Outcome { delta, ignored, unsure };
    /// `line` must be followed by simdjson's padding.
    Outcome read(std::string_view line, std::string_view& text) {
        simdjson::dom::object message, event, delta;
        if (parser.parse(line.data(), line.size(), false).get(message)) return Outcome::unsure;
        auto [type, eventMember] = typeAnd(message, "event");
        if (!isString(type, "stream_event")) return Outcome::unsure;
        // A whole "stream_event" line is a text delta or nothing.
        if (!eventMember || eventMember->get(event)) return Outcome::ignored;
        auto [eventType, deltaMember] = typeAnd(event, "delta");
        if (!isString(eventType, "content_block_delta") || !deltaMember || deltaMember->get(delta))
            return Outcome::ignored;
        auto [deltaType, textMember] = typeAnd(delta, "text");
        return isString(deltaType, "text_delta") && textMember && !textMember->get(text)
                   ? Outcome::delta
                   : Outcome::ignored;
    }
};

OutputTranslator::OutputTranslator(OutputListener& listener, Reading reading)
    : listener_(listener)
    , fast_(reading == Reading::fastPath ? std::make_unique<FastPath>() : nullptr)
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
        if (!lines.dropping) translate(std::string_view(data + start, end - start));
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

void OutputTranslator::translate(std::string_view line) {
    if (fast_ && line.size() <= fastLineLimit) {
        std::string_view text;
        switch (fast_->read(line, text)) {
        case FastPath::Outcome::ignored:
            return;
        case FastPath::Outcome::unsure:
            break;
        case FastPath::Outcome::delta:
            sawDelta_ = true;
            if (!needsEscaping(text)) return listener_.delta(text, text);
            return emitDelta(text);
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
    const std::string* type = findString(message, "type");
    if (!type) return;
    if (*type == "system") {
        const std::string* subtype = findString(message, "subtype");
        const std::string* session = findString(message, "session_id");
        if (subtype && *subtype == "init" && session) listener_.session(*session);
    } else if (*type == "stream_event") {
        const json* event = findObject(message, "event");
        const json* delta = event ? findObject(*event, "delta") : nullptr;
        const std::string* eventType = event ? findString(*event, "type") : nullptr;
        const std::string* deltaType = delta ? findString(*delta, "type") : nullptr;
        const std::string* text = delta ? findString(*delta, "text") : nullptr;
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
        if (const std::string* session = findString(message, "session_id"))
            result.sessionId = *session;
        if (const std::string* text = findString(message, "result")) result.text = *text;
        const std::string* subtype = findString(message, "subtype");
        result.failed =
            findBoolean(message, "is_error").value_or(false) || (subtype && *subtype != "success");
        listener_.result(std::move(result));
    }
}

void OutputTranslator::assistant(const json& message) {
    const bool streamed = std::exchange(sawDelta_, false);
    for (const auto& block : contentBlocks(message)) {
        const std::string* type = findString(block, "type");
        if (!type) continue;
        if (*type == "text") {
            const std::string* text = findString(block, "text");
            if (!streamed && text && !text->empty()) emitDelta(*text);
        } else if (*type == "tool_use") {
            const std::string* name = findString(block, "name");
            const std::string* id = findString(block, "id");
            std::string tool = name ? *name : "tool";
            tools_[id ? *id : newUUID()] = ToolCall{tool, std::chrono::steady_clock::now()};
            listener_.event(toolStarted(tool, findObject(block, "input")));
        }
    }
}

void OutputTranslator::user(const json& message) {
    for (const auto& block : contentBlocks(message)) {
        const std::string* type = findString(block, "type");
        if (!type || *type != "tool_result") continue;
        const std::string* id = findString(block, "tool_use_id");
        if (id) listener_.toolResult(*id);
        auto call = tools_.find(id ? *id : std::string());
        if (call == tools_.end()) continue;
        std::chrono::duration<double> seconds =
            std::chrono::steady_clock::now() - call->second.started;
        listener_.event(toolCompleted(call->second.name, seconds.count(),
                                      findBoolean(block, "is_error").value_or(false)));
        tools_.erase(call);
    }
}

} // namespace pavix
