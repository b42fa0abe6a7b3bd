#include "http/RequestParser.h"

#include "util/Text.h"

#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>
#include <boost/url/url_view.hpp>

#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace pavix {

namespace {

constexpr std::string_view headEnd = "\r\n\r\n";

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        auto at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + separator.size());
    }
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> words;
    for (auto piece : split(line, " "))
        if (!piece.empty()) words.push_back(piece);
    return words;
}

std::string percentDecoded(std::string_view encoded) {
    auto text = boost::urls::make_pct_string_view(encoded);
    return text ? text->decode() : std::string(encoded);
}

// Whether a valid percent-encoded text holds an escaped "/".
bool hasEscapedSlash(std::string_view encoded) {
    for (auto at = encoded.find('%'); at != std::string_view::npos; at = encoded.find('%', at + 3))
        if (encoded.substr(at + 1, 2) == "2F" || encoded.substr(at + 1, 2) == "2f") return true;
    return false;
}

void parseTarget(std::string_view target, HTTPRequest& request) {
    auto reference = boost::urls::parse_uri_reference(target);
    if (!reference) {
        request.path = std::string(target);
        return;
    }
    // Routing splits the path at "/": an escaped one must stay inside its segment.
    std::string_view encodedPath = reference->encoded_path();
    request.path = hasEscapedSlash(encodedPath) ? std::string(encodedPath) : reference->path();
    if (!reference->has_query()) return;
    // Split here rather than through Boost.URL's params view, which in 1.81 reads past
    // the end of an empty query followed by a fragment. "+" stays "+".
    std::string_view query = reference->encoded_query();
    for (auto item : split(query, "&")) {
        if (item.empty()) continue;
        auto equals = item.find('=');
        request.query[percentDecoded(item.substr(0, equals))] =
            equals == std::string_view::npos ? std::string()
                                             : percentDecoded(item.substr(equals + 1));
    }
}

} // namespace

std::int64_t contentLength(std::string_view value) {
    std::string_view digits = value;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (digits.empty()) return 0;
    for (char c : digits)
        if (c < '0' || c > '9') return 0;
    if (value[0] == '+') value.remove_prefix(1); // from_chars takes "-" but not "+"
    std::int64_t length = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (error != std::errc() || end != value.data() + value.size()) return 0;
    return length;
}

ParsedRequest parseRequest(std::string_view buffer, bool remoteIsLoopback) {
    ParsedRequest result;
    auto end = buffer.find(headEnd);
    if (end == std::string_view::npos) {
        result.parseAgainAt = buffer.size() + 1;
        return result;
    }
    // The head is fixed from here on: if it is not a request now, it never will be.
    result.parseAgainAt = SIZE_MAX;
    std::string_view head = buffer.substr(0, end);
    if (!isValidUTF8(head)) return result;

    auto lines = split(head, "\r\n");
    auto requestLine = words(lines[0]);
    if (requestLine.size() < 2) return result;

    HTTPRequest& request = result.request;
    std::optional<std::int64_t> length;
    bool lengthsDisagree = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        std::string name = toLowerASCII(lines[i].substr(0, colon));
        std::string value = trimSpaces(lines[i].substr(colon + 1));
        if (name == "content-length") {
            std::int64_t announced = contentLength(value);
            lengthsDisagree = lengthsDisagree || (length && *length != announced);
            length = announced;
        }
        request.headers[std::move(name)] = std::move(value);
    }
    if (lengthsDisagree || length.value_or(0) < 0) {
        result.state = ParsedRequest::State::malformed;
        return result;
    }
    const std::size_t bodyStart = end + headEnd.size();
    const auto bodySize = static_cast<std::uint64_t>(length.value_or(0));
    std::string_view rest = buffer.substr(bodyStart);
    if (rest.size() < bodySize) {
        result.parseAgainAt = bodySize < SIZE_MAX - bodyStart
                                  ? bodyStart + static_cast<std::size_t>(bodySize)
                                  : SIZE_MAX;
        return result;
    }

    parseTarget(requestLine[1], request);
    request.remoteIsLoopback = remoteIsLoopback;
    request.method = toUpperASCII(requestLine[0]);
    request.body = std::string(rest.substr(0, static_cast<std::size_t>(bodySize)));
    result.state = ParsedRequest::State::complete;
    return result;
}

bool isLoopbackAddress(std::string_view address) {
    return address == "127.0.0.1" || address == "::1" || address.starts_with("::ffff:127.");
}

} // namespace pavix
