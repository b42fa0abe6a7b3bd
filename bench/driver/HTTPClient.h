#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavix::test {

using namespace std::chrono_literals;

/// One blocking TCP connection to a loopback address (127.0.0.1, or ::1), close-on-exec,
/// for tests. Every wait is bounded, so a fault fails a test instead of hanging it.
class Connection {
public:
    enum class Family { ipv4, ipv6 };

    /// Connects at once; `connected()` tells whether it worked. `beforeConnect` runs
    /// between making the socket and connecting it.
    explicit Connection(std::uint16_t port, Family family = Family::ipv4,
                        const std::function<void()>& beforeConnect = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const { return fd_ >= 0; }
    /// The socket, for a test that polls many connections itself; -1 once closed.
    int descriptor() const { return fd_; }
    /// Writes all of `bytes`; false when the connection refused them.
    bool send(std::string_view bytes);
    /// Stops sending (half close); the peer sees the end of the request stream.
    void shutdownWrite();
    /// Whatever arrives within `limit` (at least one byte unless the peer closed or
    /// the time ran out); empty at the end.
    std::string receiveSome(std::chrono::milliseconds limit = 10s);
    /// Everything until the peer closes or `limit` passes.
    std::string receiveAll(std::chrono::milliseconds limit = 10s);
    /// Bytes until `count` have arrived in all, the peer closed, or `limit` passed.
    std::string receiveExactly(std::size_t count, std::chrono::milliseconds limit = 10s);
    /// Whether the peer has closed its side (or reset the connection), seen by a receive.
    bool peerClosed() const { return peerClosed_; }
    /// Closes our end at once (as a client that goes away).
    void close();

private:
    std::string receiveAtMost(std::size_t most, std::chrono::milliseconds limit);

    int fd_ = -1;
    bool peerClosed_ = false;
};

/// A response as read off the wire. `status` is 0 when none arrived.
struct HTTPResponse {
    int status = 0;
    std::map<std::string, std::string> headers; ///< names in lower case
    std::string body;
    std::string raw; ///< every byte received
    /// The body as JSON; a discarded value when it is not JSON.
    nlohmann::json json() const;
};

/// The header fields of a message head (its first line, then "name: value" lines
/// separated by CRLF, without the blank line): names in lower case, values trimmed.
std::map<std::string, std::string> parseHeaderLines(std::string_view head);

/// Parses a complete response (head and everything after it as the body).
HTTPResponse parseResponse(const std::string& bytes);

/// An event stream being read: "data: " texts, one per event, as they arrive.
class EventReader {
public:
    EventReader(std::uint16_t port, const std::string& path, const std::string& key);
    /// The response status (0 if the head did not arrive within 10 s).
    int status() const { return response_.status; }
    const HTTPResponse& head() const { return response_; }
    /// The next event's text; nothing when the stream ended or `limit` passed first.
    std::optional<std::string> next(std::chrono::milliseconds limit = 10s);
    /// Events until the server closes the stream, `count` arrived, or `limit` passed.
    std::vector<std::string> collect(std::size_t count = SIZE_MAX,
                                     std::chrono::milliseconds limit = 10s);
    /// Whether the server has closed the stream and every event has been taken.
    bool ended() const {
        return connection_.peerClosed() && pending_.find("\n\n") == std::string::npos;
    }

private:
    Connection connection_;
    HTTPResponse response_;
    std::string pending_;
};

/// Requests against the service on 127.0.0.1:`port`, with or without its key.
class HTTPClient {
public:
    HTTPClient(std::uint16_t port, std::string key)
        : port_(port)
        , key_(std::move(key)) {}

    /// `body` is sent as JSON when given. The key is sent as a bearer when `withKey`.
    HTTPResponse request(const std::string& method, const std::string& path,
                         const std::optional<nlohmann::json>& body = std::nullopt,
                         bool withKey = true);
    HTTPResponse get(const std::string& path, bool withKey = true) {
        return request("GET", path, std::nullopt, withKey);
    }
    HTTPResponse post(const std::string& path, const nlohmann::json& body, bool withKey = true) {
        return request("POST", path, body, withKey);
    }
    HTTPResponse del(const std::string& path, bool withKey = true) {
        return request("DELETE", path, std::nullopt, withKey);
    }
    /// Sends `bytes` as they are and returns all that comes back until the close.
    std::string exchange(const std::string& bytes, std::chrono::milliseconds limit = 10s);
    /// Opens GET `path` as an event stream (with the key).
    EventReader events(const std::string& path) { return EventReader(port_, path, key_); }
    /// Reads GET `path` as an event stream until it closes, `count` events or `limit`.
    std::vector<std::string> collectEvents(const std::string& path, std::size_t count = SIZE_MAX,
                                           std::chrono::milliseconds limit = 10s);

    std::uint16_t port() const { return port_; }
    const std::string& key() const { return key_; }

private:
    std::uint16_t port_;
    std::string key_;
};

} // namespace pavix::test
