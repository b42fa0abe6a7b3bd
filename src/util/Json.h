#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace pavix {

/// Deeper input is refused: copying or printing a parsed value recurses once per level.
inline constexpr int maximumNesting = 512;

/// `text` as a JSON object, or nothing when it is not JSON, not an object, or nested
/// more than `maximumNesting` levels deep.
std::optional<nlohmann::json> parseObject(std::string_view text);

} // namespace pavix
