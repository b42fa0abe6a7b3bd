// Reads the sessions file with simdjson On-Demand into what the store keeps: each session's
// fields and its member text as the encoder writes it, copying strings already written so
// and writing others again. Validated as the first decoder (nlohmann's parser) did: a file
// it refused is refused, and the last of duplicate keys wins.
#include "bridge/Session.h"

#include "util/Json.h"

#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <set>

namespace pavix {

namespace {

namespace od = simdjson::ondemand;
constexpr auto npos = std::string_view::npos;

/// What reading one value came to: a value of the wrong type is still valid JSON, so only
/// where a later duplicate key replaces it may the file be good after all.
enum class Read { ok, wrongType, broken };

// The inside of a string token (which runs on over the white space after it).
std::string_view insideOf(std::string_view token) {
    return token.substr(1, token.rfind('"') - 1);
}

// The inside of a key, from the raw text after its opening quote.
std::string_view keyInside(od::field& field) {
    const char* begin = field.key().raw();
    const char* end = begin;
    while (*end != '"')
        end += *end == '\\' ? 2 : 1;
    return {begin, static_cast<std::size_t>(end - begin)};
}

std::optional<od::json_type> typeOf(od::value& value) {
    od::json_type type;
    return value.type().get(type) ? std::nullopt : std::optional(type);
}

bool validKey(od::field& field, std::string& scratch) {
    std::string_view inside = keyInside(field);
    return inside.find('\\') == npos || unescapeJSON(inside, scratch);
}

Read readNull(od::value value) {
    bool null = false;
    return !value.is_null().get(null) && null ? Read::ok : Read::broken;
}

// Any value, validated as the first decoder's parser did, `depth` being how many arrays
// and objects hold it.
Read skip(od::value value, int depth, std::string& scratch) {
    auto type = typeOf(value);
    if (!type || depth > maximumNesting) return Read::broken;
    bool good = false, ignored = false;
    od::raw_json_string raw;
    switch (*type) {
    case od::json_type::object: {
        od::object object;
        good = !value.get_object().get(object);
        if (!good) break;
        for (auto member : object) {
            od::field field;
            good = good && !std::move(member).get(field) && validKey(field, scratch) &&
                   skip(field.value(), depth + 1, scratch) == Read::ok;
            if (!good) break;
        }
        break;
    }
    case od::json_type::array: {
        od::array array;
        good = !value.get_array().get(array);
        if (!good) break;
        for (auto element : array) {
            od::value item;
            good = good && !element.get(item) && skip(item, depth + 1, scratch) == Read::ok;
            if (!good) break;
        }
        break;
    }
    case od::json_type::string: {
        std::string_view inside = insideOf(value.raw_json_token());
        good = (isEscapedAsWritten(inside) || unescapeJSON(inside, scratch)) &&
               !value.get_raw_json_string().get(raw);
        break;
    }
    case od::json_type::number:
        good = jsonNumber(value.raw_json_token()).has_value();
        break;
    case od::json_type::boolean:
        good = !value.get_bool().get(ignored);
        break;
    case od::json_type::null:
        good = readNull(value) == Read::ok;
        break;
    }
    return good ? Read::ok : Read::broken;
}

// A value of another type than the one wanted: wrong, or not even JSON.
Read other(od::value value, int depth, std::string& scratch) {
    return skip(value, depth, scratch) == Read::ok ? Read::wrongType : Read::broken;
}

struct Scratch {
    std::string text;
    /// One message's members: a key's inside, and its value's when it is a string.
    std::vector<std::pair<std::string_view, std::optional<std::string_view>>> members;
};

// Appends one message's members sorted by key, the last of duplicates kept: wrong when that
// one is not a string.
Read appendSorted(std::string& out, Scratch& scratch) {
    std::map<std::string, std::optional<std::string>> message;
    for (auto [keyInside, inside] : scratch.members) {
        std::string key;
        if (!unescapeJSON(keyInside, key) || (inside && !unescapeJSON(*inside, scratch.text)))
            return Read::broken;
        message.insert_or_assign(std::move(key),
                                 inside ? std::optional(scratch.text) : std::nullopt);
    }
    out += '{';
    for (const auto& [key, value] : message) {
        if (!value) return Read::wrongType;
        out += out.back() == '{' ? "\"" : ",\"";
        appendEscaped(out, key);
        out += "\":\"";
        appendEscaped(out, *value);
        out += '"';
    }
    out += '}';
    return Read::ok;
}

// One message (an object of strings), appended to `out` as the encoder writes it.
Read readMessage(od::value value, std::string& out, Scratch& scratch) {
    constexpr int depth = 3; // in the file, in its session, in its messages
    auto type = typeOf(value);
    od::object object;
    if (!type || (*type == od::json_type::object && value.get_object().get(object)))
        return Read::broken;
    if (*type != od::json_type::object) return other(value, depth, scratch.text);
    scratch.members.clear();
    bool written = true; // keys plain, in order and unique, values as the encoder writes them
    for (auto member : object) {
        od::field field;
        if (std::move(member).get(field)) return Read::broken;
        std::string_view key = keyInside(field);
        od::value item = field.value();
        const std::string_view token = item.raw_json_token();
        if (!token.starts_with('"')) { // wrong, unless a later duplicate is right
            if (skip(item, depth + 1, scratch.text) != Read::ok) return Read::broken;
            scratch.members.emplace_back(key, std::nullopt);
            written = false;
            continue;
        }
        std::string_view inside = insideOf(token);
        od::raw_json_string raw;
        if (item.get_raw_json_string().get(raw)) return Read::broken;
        written = written && key.find('\\') == npos && isEscapedAsWritten(inside) &&
                  (scratch.members.empty() || scratch.members.back().first < key);
        scratch.members.emplace_back(key, inside);
    }
    if (!written) return appendSorted(out, scratch);
    out += '{';
    for (auto [key, inside] : scratch.members) {
        out += out.back() == '{' ? "\"" : ",\"";
        out.append(key) += "\":\"";
        out.append(*inside) += '"';
    }
    out += '}';
    return Read::ok;
}

// The "messages" array, appended to `out` as the encoder writes it.
Read readMessages(od::value value, std::string& out, std::size_t& count, Scratch& scratch) {
    auto type = typeOf(value);
    od::array array;
    if (!type || (*type == od::json_type::array && value.get_array().get(array)))
        return Read::broken;
    if (*type != od::json_type::array) return other(value, 2, scratch.text);
    out.clear();
    out += '[';
    count = 0;
    Read read = Read::ok;
    for (auto element : array) {
        od::value item;
        if (element.get(item)) return Read::broken;
        if (read != Read::ok) {
            if (skip(item, 3, scratch.text) != Read::ok) return Read::broken;
            continue;
        }
        if (count++ > 0) out += ',';
        read = readMessage(item, out, scratch);
        if (read == Read::broken) return read;
    }
    out += ']';
    return read;
}

Read readString(od::value value, std::string& out, std::string& scratch) {
    auto type = typeOf(value);
    if (!type) return Read::broken;
    if (*type != od::json_type::string) return other(value, 2, scratch);
    std::string_view inside = insideOf(value.raw_json_token());
    od::raw_json_string raw;
    return unescapeJSON(inside, out) && !value.get_raw_json_string().get(raw) ? Read::ok
                                                                              : Read::broken;
}

Read readNumber(od::value value, double& out, std::string& scratch) {
    auto type = typeOf(value);
    if (!type) return Read::broken;
    if (*type != od::json_type::number) return other(value, 2, scratch);
    auto number = jsonNumber(value.raw_json_token()); // the iterator steps over it by itself
    out = number.value_or(0);
    return number ? Read::ok : Read::broken;
}

/// One session's members as they go by: the last of duplicate keys decides.
struct Reading {
    StoredSession session;
    std::string messages; ///< the encoded array
    std::size_t count = 0;
    /// Whether the last of each member seen is right, in the order of `memberNames`.
    std::array<bool, 7> good{};
};

constexpr std::string_view memberNames[] = {
    "id", "title", "cwd", "started", "lastActive", "messages", "claudeSessionId"};

Read readMember(std::string_view name, od::value value, Reading& reading, Scratch& scratch) {
    StoredSession& session = reading.session;
    const auto index = static_cast<std::size_t>(
        std::find(std::begin(memberNames), std::end(memberNames), name) - memberNames);
    Read read = Read::ok;
    if (index <= 2) {
        std::string& field = index == 0 ? session.id : index == 1 ? session.title : session.cwd;
        read = readString(value, field, scratch.text);
    } else if (index <= 4) {
        read = readNumber(value, index == 3 ? session.started : session.lastActive, scratch.text);
    } else if (index == 5) {
        read = readMessages(value, reading.messages, reading.count, scratch);
    } else if (index == 6 && typeOf(value) == od::json_type::null) { // as good as absent
        read = readNull(value);
        session.claudeSessionId.reset();
    } else if (index == 6) {
        read = readString(value, session.claudeSessionId.emplace(), scratch.text);
    } else {
        return skip(value, 2, scratch.text);
    }
    reading.good[index] = read == Read::ok;
    return read == Read::broken ? read : Read::ok;
}

Read readSession(od::value value, Reading& reading, Scratch& scratch) {
    auto type = typeOf(value);
    od::object object;
    if (!type || (*type == od::json_type::object && value.get_object().get(object)))
        return Read::broken;
    if (*type != od::json_type::object) return other(value, 1, scratch.text);
    reading.session = {};
    reading.good = {false, false, false, false, false, false, true}; // no claudeSessionId: fine
    std::string name;
    for (auto member : object) {
        od::field field;
        if (std::move(member).get(field) || !unescapeJSON(keyInside(field), name) ||
            readMember(name, field.value(), reading, scratch) == Read::broken)
            return Read::broken;
    }
    return std::ranges::all_of(reading.good, [](bool good) { return good; }) ? Read::ok
                                                                             : Read::wrongType;
}

// The file's bytes as the first decoder read them: past a byte order mark, up to a NUL
// (as a file a crash left padded with zeros may be); then the padding the parser reads.
simdjson::padded_string_view padded(std::string& bytes) {
    static_assert(sessionsFilePadding >= simdjson::SIMDJSON_PADDING);
    const std::size_t size = std::min(bytes.find('\0'), bytes.size());
    bytes.resize(size);
    bytes.append(sessionsFilePadding, '\0');
    bytes.resize(size);
    const std::size_t skipped = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    return simdjson::padded_string_view(bytes.data() + skipped, size - skipped,
                                        bytes.capacity() - skipped);
}

// Hands the pages of `bytes` before `done` back to the system, a step at a time: what has
// been read is never read again, so a big file is not held twice while its copy grows.
void release(const std::string& bytes, const char* done, const char*& released) {
    constexpr std::uintptr_t step = 1 << 20;
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto from = std::max(reinterpret_cast<std::uintptr_t>(released),
                               (reinterpret_cast<std::uintptr_t>(bytes.data()) + page - 1) / page *
                                   page); // the first page holds the allocator's header
    const auto to = reinterpret_cast<std::uintptr_t>(done) / page * page;
    if (to < from + step) return;
    ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    released = reinterpret_cast<const char*>(to);
}

} // namespace

std::optional<StoredSessions> decodeSessions(std::string bytes) {
    od::parser parser;
    od::document document;
    od::object top;
    if (parser.iterate(padded(bytes)).get(document) || document.get_object().get(top))
        return std::nullopt;
    StoredSessions sessions;
    std::set<std::string> wrong; // keys whose last session is of the wrong shape
    Reading reading;
    Scratch scratch;
    const char* released = bytes.data();
    for (auto member : top) {
        od::field field;
        std::string key;
        if (std::move(member).get(field) || !unescapeJSON(keyInside(field), key))
            return std::nullopt;
        Read read = readSession(field.value(), reading, scratch);
        if (read == Read::broken) return std::nullopt;
        if (read == Read::wrongType) {
            sessions.erase(key);
            wrong.insert(std::move(key));
            continue;
        }
        wrong.erase(key);
        auto stored = sessions.insert_or_assign(key, std::move(reading.session)).first;
        const std::string_view messages[] = {reading.messages};
        encodeStoredSession(key, stored->second, messages, reading.count, true);
        if (const char* at = nullptr; !document.current_location().get(at))
            release(bytes, at, released);
    }
    // Anything after the object is as wrong as a missing part.
    if (!wrong.empty() || document.current_location().error() != simdjson::OUT_OF_BOUNDS)
        return std::nullopt;
    return sessions;
}

} // namespace pavix
