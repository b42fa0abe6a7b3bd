#include "http/RequestParser.h"

#include "util/Text.h"

#include <boost/url/parse.hpp>
#include <boost/url/pct_string_view.hpp>
#include <boost/url/url_view.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
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

// A Content-Length value: optional sign and ASCII digits within 64 bits; anything else is 0.
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

// What the head says about its body.
struct Framing {
    std::optional<std::int64_t> length;
    bool lengthsDisagree = false;
    std::optional<std::string> codings; ///< every Transfer-Encoding line, joined by ","
};

Framing readHeaders(const std::vector<std::string_view>& lines, HTTPRequest& request) {
    Framing framing;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto colon = lines[i].find(':');
        if (colon == std::string_view::npos) continue;
        std::string name = toLowerASCII(lines[i].substr(0, colon));
        std::string value(trimSpaces(lines[i].substr(colon + 1)));
        if (name == "content-length") {
            std::int64_t announced = contentLength(value);
            framing.lengthsDisagree =
                framing.lengthsDisagree || (framing.length && *framing.length != announced);
            framing.length = announced;
        } else if (name == "transfer-encoding") {
            framing.codings = framing.codings ? *framing.codings + "," + value : value;
        }
        request.headers[std::move(name)] = std::move(value);
    }
    return framing;
}

// About what a parsed map takes, a little more rather than less: per entry a tree node
// and whatever its strings hold.
std::size_t footprint(const std::map<std::string, std::string>& map) {
    constexpr std::size_t node = sizeof(std::pair<const std::string, std::string>) + 32;
    std::size_t bytes = 0;
    for (const auto& [name, value] : map)
        bytes += node + name.capacity() + value.capacity();
    return bytes;
}

} // namespace

std::size_t RequestParser::feed(std::string_view bytes) {
    std::size_t taken = 0;
    if (state_ == State::head) taken = feedHead(bytes);
    if (state_ == State::body) taken += feedBody(bytes.substr(taken));
    if (state_ == State::ignored) taken += countAgainstCap(bytes.size() - taken);
    return taken;
}

std::size_t RequestParser::feedHead(std::string_view bytes) {
    // The blank line may have begun in an earlier feed; nothing before that is searched again.
    const std::size_t before = head_.size();
    head_.append(bytes.substr(0, maxRequestBytes + 1 - before));
    auto end = head_.find(headEnd, before < headEnd.size() ? 0 : before - (headEnd.size() - 1));
    if (end == std::string::npos) return countAgainstCap(head_.size() - before);
    std::size_t taken = countAgainstCap(end + headEnd.size() - before);
    if (state_ == State::head) parseHead(std::string_view(head_).substr(0, end));
    std::string().swap(head_); // the request holds what the head said
    return taken;
}

void RequestParser::parseHead(std::string_view head) {
    state_ = State::ignored;
    if (!isValidUTF8(head)) return;
    auto lines = split(head, "\r\n");
    auto requestLine = words(lines[0]);
    if (requestLine.size() < 2) return;
    request_.method = toUpperASCII(requestLine[0]);
    parseTarget(requestLine[1], request_);
    request_.remoteIsLoopback = remoteIsLoopback_;

    Framing framing = readHeaders(lines, request_);
    parsedHead_ =
        request_.path.capacity() + footprint(request_.query) + footprint(request_.headers);
    if (framing.lengthsDisagree || framing.length.value_or(0) < 0) {
        state_ = State::malformed;
    } else if (framing.codings) {
        if (framing.length) {
            state_ = State::malformed; // two framings: no single reading of the body
        } else if (toLowerASCII(trimSpaces(*framing.codings)) != "chunked") {
            state_ = State::unsupported;
        } else {
            chunked_.emplace();
            state_ = State::body;
        }
    } else {
        remaining_ = static_cast<std::uint64_t>(framing.length.value_or(0));
        state_ = remaining_ > maxRequestBytes - received_ ? State::tooLarge
                 : remaining_ == 0                        ? State::complete
                                                          : State::body;
    }
}

std::size_t RequestParser::feedBody(std::string_view bytes) {
    // One byte past the cap is enough to know the request is too large.
    bytes = bytes.substr(0, maxRequestBytes + 1 - received_);
    std::size_t taken = 0;
    if (chunked_) {
        taken = chunked_->feed(bytes, request_.body);
        if (chunked_->state() == ChunkedBody::State::malformed) state_ = State::malformed;
        if (chunked_->state() == ChunkedBody::State::complete) state_ = State::complete;
    } else {
        taken = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size()));
        request_.body.append(bytes.substr(0, taken));
        remaining_ -= taken;
        if (remaining_ == 0) state_ = State::complete;
    }
    return countAgainstCap(taken);
}

std::size_t RequestParser::countAgainstCap(std::size_t count) {
    received_ += count;
    if (received_ > maxRequestBytes) state_ = State::tooLarge;
    return count;
}

bool RequestParser::expectsContinue() const {
    auto expect = request_.headers.find("expect");
    return expect != request_.headers.end() && toLowerASCII(expect->second) == "100-continue";
}

std::size_t RequestParser::stillToCome() const {
    if (state_ == State::complete) return 0;
    if (state_ == State::body && !chunked_) return static_cast<std::size_t>(remaining_);
    return maxRequestBytes - std::min(received_, maxRequestBytes);
}

void RequestParser::discard() {
    request_ = HTTPRequest();
    std::string().swap(head_);
    parsedHead_ = 0;
}

} // namespace pavix
