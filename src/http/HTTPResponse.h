#pragma once

#include "http/HTTPRequest.h"
#include "util/EventSource.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// What the API answers: a complete JSON response, an empty one, or a server-sent event
/// stream.
class HTTPResponse {
public:
    /// A JSON response; the value is serialized now, compactly with "/" unescaped,
    /// and becomes "{}" when it cannot be serialized (e.g. invalid UTF-8 in a string).
    static HTTPResponse json(std::int64_t status, const nlohmann::json& value);
    /// A JSON response whose body is already serialized (as `json` would have it).
    static HTTPResponse jsonText(std::int64_t status, std::string body);
    /// {"error": message} with `status`.
    static HTTPResponse error(std::int64_t status, std::string_view message);
    /// 204 with no body.
    static HTTPResponse noContent();
    /// A 200 event stream that lasts as long as `source` yields events, each framed with its
    /// "id:" line when `withIds`.
    static HTTPResponse events(std::shared_ptr<EventSource> source, bool withIds);

    std::int64_t status() const { return status_; }
    /// The serialized JSON body (empty for 204 and event streams).
    const std::string& body() const { return body_; }
    /// The event stream; null for the other kinds.
    const std::shared_ptr<EventSource>& eventSource() const { return events_; }
    bool eventsWithIds() const { return withIds_; }

private:
    HTTPResponse(std::int64_t status, std::string body, std::shared_ptr<EventSource> events)
        : status_(status)
        , body_(std::move(body))
        , events_(std::move(events)) {}
    std::int64_t status_;
    std::string body_;
    std::shared_ptr<EventSource> events_;
    bool withIds_ = false;
};

/// What the service makes of a request from its head alone, before the body is read.
struct HeadVerdict {
    /// Sent at once, the body left unread (a 401 for a missing key, say).
    std::optional<HTTPResponse> refusal;
    /// The peer showed the key: its buffers are the last to go when memory runs short.
    bool trusted = false;
};
/// Called once per request whose head is complete; the body may still be arriving.
using HeadCheck = std::function<HeadVerdict(const HTTPRequest& head)>;

} // namespace pavix
