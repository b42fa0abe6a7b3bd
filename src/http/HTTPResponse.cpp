#include "http/HTTPResponse.h"

#include "util/Json.h"

namespace pavix {

HTTPResponse HTTPResponse::json(std::int64_t status, const nlohmann::json& value) {
    return HTTPResponse(status, compactJSON(value).value_or("{}"), nullptr);
}

HTTPResponse HTTPResponse::jsonText(std::int64_t status, std::string body) {
    return HTTPResponse(status, std::move(body), nullptr);
}

HTTPResponse HTTPResponse::error(std::int64_t status, std::string_view message) {
    return json(status, {{"error", message}});
}

HTTPResponse HTTPResponse::noContent() {
    return HTTPResponse(204, {}, nullptr);
}

HTTPResponse HTTPResponse::events(std::shared_ptr<EventSource> source, bool withIds) {
    HTTPResponse response(200, {}, std::move(source));
    response.withIds_ = withIds;
    return response;
}

} // namespace pavix
