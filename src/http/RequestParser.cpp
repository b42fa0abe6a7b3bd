#include "http/RequestParser.h"

#include "util/text.h"

#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>
#include <boost/url/url_view.hpp>

#include <charconv>
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

void parseTarget(std::string_view target, HTTPRequest& request) {
    auto reference = boost::urls::parse_uri_reference(target);
    if (!reference) {
        request.path = std::string(target);
        return;
    }
    request.path = reference->path();
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
    if (end == std::string_view::npos) return result;
    std::string_view head = buffer.substr(0, end);
    if (!isValidUtf8(head)) return result;

    auto lines = split(head, "\r\n");
    auto requestLine = words(lines[0]);
    if (requestLine.size() < 2) return result;

    HTTPRequest& request = result.request;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        request.headers[toLowerASCII(lines[i].substr(0, colon))] =
            trimSpaces(lines[i].substr(colon + 1));
    }

    std::int64_t length = 0;
    if (auto header = request.headers.find("content-length"); header != request.headers.end())
        length = contentLength(header->second);
    if (length < 0) {
        result.state = ParsedRequest::State::malformed;
        return result;
    }
    std::string_view rest = buffer.substr(end + headEnd.size());
    if (rest.size() < static_cast<std::uint64_t>(length)) return result;

    parseTarget(requestLine[1], request);
    request.remoteIsLoopback = remoteIsLoopback;
    request.method = toUpperASCII(requestLine[0]);
    request.body = std::string(rest.substr(0, static_cast<std::size_t>(length)));
    result.state = ParsedRequest::State::complete;
    return result;
}

bool isLoopbackAddress(std::string_view address) {
    return address == "127.0.0.1" || address == "::1" || address.starts_with("::ffff:127.");
}

} // namespace pavix
