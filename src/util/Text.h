#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pavix {

bool isValidUTF8(std::string_view text);

/// `text` with each byte that does not begin a valid UTF-8 character replaced by U+FFFD.
std::string validUTF8(std::string_view text);

/// The first `count` extended grapheme clusters of valid UTF-8 `text`.
std::string firstGraphemes(std::string_view text, std::size_t count);

/// The last `count` extended grapheme clusters of valid UTF-8 `text`.
std::string lastGraphemes(std::string_view text, std::size_t count);

/// `text` without leading and trailing spaces and tabs (HTTP's optional white space).
std::string_view trimSpaces(std::string_view text);

/// Strips leading and trailing white space and line breaks (Unicode's, not just ASCII).
std::string trimWhitespaceAndNewlines(std::string_view text);

std::string toLowerASCII(std::string_view text);
std::string toUpperASCII(std::string_view text);

} // namespace pavix
