#include "http/HTTPResponse.h"

#include <nlohmann/json.hpp>

namespace pavix {

HTTPResponse HTTPResponse::json(std::int64_t status, const nlohmann::json& value) {
    std::string body;
    try {
        body = value.dump();
    } catch (const nlohmann::json::exception&) {
        body = "{}";
    }
    return HTTPResponse(status, std::move(body), std::nullopt);
}

HTTPResponse HTTPResponse::events(EventReader stream) {
    return HTTPResponse(200, {}, std::move(stream));
}

} // namespace pavix
