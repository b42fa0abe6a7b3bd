#pragma once

#include <string_view>

namespace pavix {

/// Orders names the way people read version numbers: runs of ASCII digits compare by
/// their value (leading zeros aside), so "2.0.9" < "2.0.10"; other bytes by code point.
/// Negative, zero or positive like strcmp. Names equal by that measure compare as 0.
int compareVersionNames(std::string_view a, std::string_view b);

} // namespace pavix
