#include "util/Json.h"

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

} // namespace pavix
