#include "util/Json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

constexpr auto npos = std::string_view::npos;

template <class Test>
const json* memberAt(const json& object, const char* key, Test test) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(key);
    return found != object.end() && test(*found) ? &*found : nullptr;
}

// One \uXXXX escape's value, or nothing when its four hexadecimal digits are not there.
std::optional<std::uint32_t> hexEscape(std::string_view inside, std::size_t at) {
    std::uint32_t value = 0;
    if (inside.size() < at + 6 || inside[at] != '\\' || inside[at + 1] != 'u') return std::nullopt;
    auto digits = inside.substr(at + 2, 4);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + 4, value, 16);
    if (error != std::errc() || end != digits.data() + 4) return std::nullopt;
    return value;
}

void appendCodePoint(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
        out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                static_cast<char>(0x80 | (c & 0x3F))};
    } else {
        out += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
}

} // namespace

const std::string* findString(const json& object, const char* key) {
    const json* member = memberAt(object, key, [](const json& v) { return v.is_string(); });
    return member ? &member->get_ref<const std::string&>() : nullptr;
}

std::optional<std::string> copyString(const json& object, const char* key) {
    const std::string* value = findString(object, key);
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

const json* findObject(const json& object, const char* key) {
    return memberAt(object, key, [](const json& v) { return v.is_object(); });
}

const json& findObjectOrEmpty(const json& object, const char* key) {
    static const json empty = json::object();
    const json* member = findObject(object, key);
    return member ? *member : empty;
}

std::optional<bool> findBoolean(const json& object, const char* key) {
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

namespace {

void appendEscape(std::string& out, unsigned char c) {
    // Pairs of a byte and the letter of its short escape, as nlohmann writes them.
    constexpr std::string_view shortEscapes = "\"\"\\\\\bb\tt\nn\ff\rr";
    constexpr std::string_view hex = "0123456789abcdef";
    out.push_back('\\');
    for (std::size_t i = 0; i < shortEscapes.size(); i += 2)
        if (static_cast<unsigned char>(shortEscapes[i]) == c)
            return out.push_back(shortEscapes[i + 1]);
    out.append({'u', '0', '0', hex[c >> 4], hex[c & 15]});
}

// Whether any of the eight bytes of `word` needs a closer look: a control byte, '"' or '\\'
// (false alarms, such as the bytes of a multibyte character, are allowed; misses are not).
bool anyNotPlain(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    auto anyZero = [&](std::uint64_t x) { return (x - ones) & ~x; };
    return ((word - 0x20 * ones) | anyZero(word ^ ('"' * ones)) | anyZero(word ^ ('\\' * ones)) |
            word) &
           highs;
}

} // namespace

void appendEscaped(std::string& out, std::string_view text) {
    std::size_t plain = 0; // start of the run of bytes that need no escape
    for (std::size_t at = 0; at < text.size();) {
        std::uint64_t word;
        if (at + sizeof word <= text.size()) { // most text is plain: eight bytes at a time
            std::memcpy(&word, text.data() + at, sizeof word);
            if (!anyNotPlain(word)) {
                at += sizeof word;
                continue;
            }
        }
        auto c = static_cast<unsigned char>(text[at++]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + plain, at - 1 - plain);
        appendEscape(out, c);
        plain = at;
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

bool unescapeJSON(std::string_view inside, std::string& out) {
    out.clear();
    for (std::size_t at = 0; at < inside.size();) {
        std::size_t slash = std::min(inside.find('\\', at), inside.size());
        out.append(inside.substr(at, slash - at));
        if (slash == inside.size()) break;
        if (slash + 1 == inside.size()) return false;
        constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
        if (std::size_t i = from.find(inside[slash + 1]); i != std::string_view::npos) {
            out += to[i];
            at = slash + 2;
            continue;
        }
        auto c = hexEscape(inside, slash);
        at = slash + 6;
        if (c && *c >= 0xD800 && *c < 0xDC00) { // a high surrogate: its low half must follow
            auto low = hexEscape(inside, at);
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
            c = 0x10000 + ((*c - 0xD800) << 10) + (*low - 0xDC00);
            at += 6;
        }
        if (!c || (*c >= 0xDC00 && *c <= 0xDFFF)) return false;
        appendCodePoint(out, *c);
    }
    return true;
}

bool isEscapedAsWritten(std::string_view inside) {
    for (std::size_t at = inside.find('\\'); at != std::string_view::npos;
         at = inside.find('\\', at)) {
        if (std::string_view("\"\\bfnrt").find(inside[at + 1]) != std::string_view::npos) {
            at += 2;
            continue;
        }
        auto c = hexEscape(inside, at);
        if (!c || *c >= 0x20 || std::string_view("\b\t\n\f\r").find(char(*c)) != npos) return false;
        constexpr std::string_view hex = "0123456789abcdef";
        const char written[] = {'0', '0', hex[*c >> 4], hex[*c & 15]};
        if (inside.substr(at + 2, 4) != std::string_view(written, 4)) return false;
        at += 6;
    }
    return true;
}

std::optional<double> jsonNumber(std::string_view token) {
    token = token.substr(0, token.find_last_not_of(" \t\n\r") + 1);
    std::size_t at = token.starts_with('-') ? 1 : 0;
    auto digits = [&] {
        const std::size_t from = at;
        while (at < token.size() && token[at] >= '0' && token[at] <= '9')
            ++at;
        return at - from;
    };
    const std::size_t whole = digits();
    bool integer = true, good = whole == 1 || (whole > 1 && token[at - whole] != '0');
    if (good && at < token.size() && token[at] == '.') {
        ++at;
        integer = false;
        good = digits() > 0;
    }
    if (good && at < token.size() && (token[at] == 'e' || token[at] == 'E')) {
        at += at + 1 < token.size() && (token[at + 1] == '+' || token[at + 1] == '-') ? 2 : 1;
        integer = false;
        good = digits() > 0;
    }
    const double value = std::strtod(std::string(token).c_str(), nullptr);
    if (!good || at != token.size() || !std::isfinite(value)) return std::nullopt;
    return integer && value == 0 ? 0.0 : value;
}

} // namespace pavix
