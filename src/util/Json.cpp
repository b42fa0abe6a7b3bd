#include "util/Json.h"

#include <charconv>

namespace pavix {

using nlohmann::json;

std::optional<json> parseObject(std::string_view text) {
    bool tooDeep = false;
    json::parser_callback_t limit = [&](int depth, json::parse_event_t, json&) {
        if (depth <= maximumNesting) return true;
        tooDeep = true;
        return false; // dropped, so the parsed value itself stays shallow
    };
    json value = json::parse(text, limit, /*allow_exceptions=*/false);
    if (tooDeep || !value.is_object()) return std::nullopt;
    return value;
}

json objectOrEmpty(std::string_view text) {
    return parseObject(text).value_or(json::object());
}

namespace {

template <class Test>
const json* memberAt(const json& object, const char* key, Test test) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(key);
    return found != object.end() && test(*found) ? &*found : nullptr;
}

} // namespace

const std::string* stringAt(const json& object, const char* key) {
    const json* member = memberAt(object, key, [](const json& v) { return v.is_string(); });
    return member ? &member->get_ref<const std::string&>() : nullptr;
}

std::optional<std::string> stringValue(const json& object, const char* key) {
    const std::string* value = stringAt(object, key);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

const json* objectAt(const json& object, const char* key) {
    return memberAt(object, key, [](const json& v) { return v.is_object(); });
}

std::optional<bool> booleanAt(const json& object, const char* key) {
    const json* member = memberAt(object, key, [](const json& v) { return v.is_boolean(); });
    return member ? std::optional<bool>(member->get<bool>()) : std::nullopt;
}

std::optional<std::string> compactJSON(const json& value) {
    try {
        return value.dump();
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

std::string compactJSONReplacing(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::size_t plain = 0; // start of the run of bytes that need no escape
    for (std::size_t at = 0; at < text.size(); ++at) {
        auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + plain, at - plain);
        plain = at + 1;
        out.push_back('\\');
        switch (c) {
        case '"':
            out.push_back('"');
            break;
        case '\\':
            out.push_back('\\');
            break;
        case '\b':
            out.push_back('b');
            break;
        case '\f':
            out.push_back('f');
            break;
        case '\n':
            out.push_back('n');
            break;
        case '\r':
            out.push_back('r');
            break;
        case '\t':
            out.push_back('t');
            break;
        default:
            out.append({'u', '0', '0', hex[c >> 4], hex[c & 15]});
            break;
        }
    }
    out.append(text.data() + plain, text.size() - plain);
}

void appendUnescaped(std::string& out, std::string_view escaped) {
    for (std::size_t at = 0; at < escaped.size(); ++at) {
        std::size_t slash = escaped.find('\\', at);
        out.append(escaped.substr(at, slash - at));
        if (slash == std::string_view::npos || slash + 1 >= escaped.size()) return;
        at = slash + 1;
        switch (char c = escaped[at]) {
        case 'b':
            out.push_back('\b');
            break;
        case 'f':
            out.push_back('\f');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'u': {
            unsigned value = 0;
            auto digits = escaped.substr(at + 1, 4);
            std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
            out.push_back(static_cast<char>(value)); // appendEscaped writes \u only below 0x20
            at += digits.size();
            break;
        }
        default:
            out.push_back(c);
        }
    }
}

} // namespace pavix
