#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// Deeper input is refused: copying or printing a parsed value recurses once per level.
inline constexpr int maximumNesting = 512;

/// `text` as a JSON object, or nothing when it is not JSON, not an object, or nested
/// more than `maximumNesting` levels deep.
std::optional<nlohmann::json> parseObject(std::string_view text);

/// `text` as a JSON object, or an empty object when it is not one (see parseObject).
nlohmann::json objectOrEmpty(std::string_view text);

// Member look-ups: a missing member, a member of another type and a value that is not an
// object all count as absent.
const std::string* findString(const nlohmann::json& object, const char* key);
/// A copy of the string at `key`, when there is one.
std::optional<std::string> copyString(const nlohmann::json& object, const char* key);
const nlohmann::json* findObject(const nlohmann::json& object, const char* key);
/// The object at `key`, or an empty object when there is none.
const nlohmann::json& findObjectOrEmpty(const nlohmann::json& object, const char* key);
std::optional<bool> findBoolean(const nlohmann::json& object, const char* key);

/// Compact JSON with "/" unescaped, or nothing when a string in it is not UTF-8.
std::optional<std::string> compactJSON(const nlohmann::json& value);
/// Compact JSON with any invalid UTF-8 replaced by U+FFFD: one stray byte must not cost
/// the whole text.
std::string compactJSONReplacing(const nlohmann::json& value);

/// Appends `text` as the inside of a JSON string, escaped exactly as compactJSON would
/// (quote, backslash, \b \f \n \r \t, other control characters as \u00xx, the rest as
/// is). `text` must be valid UTF-8.
void appendEscaped(std::string& out, std::string_view text);

/// Appends the text that appendEscaped(`escaped`) came from. Also takes any JSON string's
/// inside whose escapes are the short ones or \u00xx.
void appendUnescaped(std::string& out, std::string_view escaped);

/// Sets `out` to the text of a JSON string's inside, which must be UTF-8 without control
/// bytes (as a parser that checked the document leaves it). False on a bad escape, a lone
/// surrogate included, as strict parsers have it.
bool unescapeJSON(std::string_view inside, std::string& out);

/// Whether a JSON string's inside is escaped exactly as appendEscaped writes it.
bool isEscapedAsWritten(std::string_view inside);

/// A JSON number token's value as nlohmann's parser reads it (strtod's: an exponent too
/// small gives 0, not an error; an integer "-0" is 0), or nothing when it is not a JSON
/// number or is too big for a double. White space after it is ignored.
std::optional<double> jsonNumber(std::string_view token);

} // namespace pavix
