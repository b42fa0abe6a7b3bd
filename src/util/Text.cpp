#include "util/Text.h"

#include <utf8proc.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace pavix {

namespace {

struct CodePoint {
    utf8proc_int32_t value;
    std::size_t begin, end;
};

// Calls `visit` for each code point; false at the first byte that is not valid UTF-8.
template <class Visit>
bool forEachCodePoint(std::string_view text, Visit visit) {
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        utf8proc_int32_t value;
        auto n =
            utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &value);
        if (n <= 0) return false;
        visit(CodePoint{value, at, at + static_cast<std::size_t>(n)});
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// Decodes text that is already known to be valid; stops quietly at a bad byte.
std::vector<CodePoint> decode(std::string_view text) {
    std::vector<CodePoint> points;
    forEachCodePoint(text, [&](const CodePoint& point) { points.push_back(point); });
    return points;
}

// Byte offsets where grapheme clusters begin, plus the end of the text.
std::vector<std::size_t> clusterStarts(std::string_view text) {
    auto points = decode(text);
    std::vector<std::size_t> starts;
    utf8proc_int32_t state = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i == 0 ||
            utf8proc_grapheme_break_stateful(points[i - 1].value, points[i].value, &state))
            starts.push_back(points[i].begin);
    }
    starts.push_back(points.empty() ? 0 : points.back().end);
    return starts;
}

bool isHorizontalSpace(utf8proc_int32_t c) {
    return c == '\t' || utf8proc_category(c) == UTF8PROC_CATEGORY_ZS;
}

bool isSpaceOrNewline(utf8proc_int32_t c) {
    return isHorizontalSpace(c) || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

// The code point that begins at `at`, and its length; a bad byte counts as a one-byte
// non-space, so trimming stops there.
std::pair<utf8proc_int32_t, std::size_t> codePointAt(std::string_view text, std::size_t at) {
    utf8proc_int32_t value;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()) + at,
                              static_cast<utf8proc_ssize_t>(text.size() - at), &value);
    if (n <= 0) return {-1, 1};
    return {value, static_cast<std::size_t>(n)};
}

} // namespace

bool isValidUTF8(std::string_view text) {
    // Heads and most texts are ASCII: those bytes are skipped eight at a time, and only
    // the rest decoded.
    constexpr std::uint64_t highBits = 0x8080808080808080;
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    for (std::size_t at = 0; at < text.size();) {
        std::uint64_t eight = highBits;
        if (text.size() - at >= 8) std::memcpy(&eight, bytes + at, 8);
        if ((eight & highBits) == 0) {
            at += 8;
        } else if (bytes[at] < 0x80) {
            ++at;
        } else {
            utf8proc_int32_t value;
            auto n = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at),
                                      &value);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
    }
    return true;
}

std::string validUTF8(std::string_view text) {
    std::string valid;
    valid.reserve(text.size());
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    for (std::size_t at = 0; at < text.size();) {
        utf8proc_int32_t value;
        auto n =
            utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &value);
        std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 1;
        valid.append(n > 0 ? text.substr(at, length) : std::string_view("\xEF\xBF\xBD"));
        at += length;
    }
    return valid;
}

// Walks only as far as the cut: a huge text costs no more than its first clusters.
std::string firstGraphemes(std::string_view text, std::size_t count) {
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_int32_t previous = -1, state = 0;
    std::size_t at = 0, clusters = 0;
    while (at < text.size()) {
        utf8proc_int32_t value;
        auto n =
            utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &value);
        if (n <= 0) break; // valid text only: stop quietly at a bad byte
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, value, &state)) {
            if (clusters == count) break;
            ++clusters;
        }
        previous = value;
        at += static_cast<std::size_t>(n);
    }
    return std::string(text.substr(0, at));
}

std::string lastGraphemes(std::string_view text, std::size_t count) {
    auto starts = clusterStarts(text);
    std::size_t clusters = starts.size() - 1;
    if (count >= clusters) return std::string(text.substr(0, starts.back()));
    std::size_t from = starts[clusters - count];
    return std::string(text.substr(from, starts.back() - from));
}

std::string_view trimSpaces(std::string_view text) {
    // A header line may be megabytes long: only its ends are looked at, in place.
    auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// A prompt may be megabytes long: only its ends are decoded.
std::string trimWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        auto [value, length] = codePointAt(text, begin);
        if (!isSpaceOrNewline(value)) break;
        begin += length;
    }
    while (end > begin) {
        std::size_t start = end - 1; // back over continuation bytes to where a character begins
        while (start > begin && end - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        auto [value, length] = codePointAt(text, start);
        if (start + length != end || !isSpaceOrNewline(value)) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string toLowerASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string toUpperASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

} // namespace pavix
