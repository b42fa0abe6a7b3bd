#pragma once

#include "http/EventStream.h"
#include "http/HTTPRequest.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace pavix {

/// What the API answers: a complete JSON response, or a server-sent event stream.
class HTTPResponse {
public:
    /// A JSON response; the value is serialized now, compactly with "/" unescaped,
    /// and becomes "{}" when it cannot be serialized (e.g. invalid UTF-8 in a string).
    static HTTPResponse json(std::int64_t status, const nlohmann::json& value);
    /// A 200 event stream that lasts as long as `stream`.
    static HTTPResponse events(EventReader stream);

    std::int64_t status() const { return status_; }
    /// The serialized JSON body (empty for an event stream).
    const std::string& body() const { return body_; }
    bool isEvents() const { return stream_.has_value(); }
    /// The event stream; only for an events response.
    EventReader& stream() { return *stream_; }

private:
    HTTPResponse(std::int64_t status, std::string body, std::optional<EventReader> stream)
        : status_(status)
        , body_(std::move(body))
        , stream_(std::move(stream)) {}
    std::int64_t status_;
    std::string body_;
    std::optional<EventReader> stream_;
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
