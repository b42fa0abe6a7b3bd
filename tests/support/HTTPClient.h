#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavix::test {

using json = nlohmann::json;
using namespace std::chrono_literals;

/// One blocking TCP connection to `host` (an IPv4 address), close-on-exec, for the tests
/// that need the bytes themselves. Every wait is bounded, so a fault fails a test, not hangs it.
class Connection {
public:
    explicit Connection(std::uint16_t port, const std::string& host = "127.0.0.1");
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int descriptor() const { return fd_; }
    /// Writes all of `bytes`; false when the connection refused them.
    bool send(std::string_view bytes);
    /// Half close: the peer sees the end of the request stream.
    void shutdownWrite();
    /// What arrives within `limit`, at least one byte unless the peer closed or the time ran out.
    std::string receiveSome(std::chrono::milliseconds limit = 10s);
    /// Everything until the peer closes or `limit` passes.
    std::string receiveAll(std::chrono::milliseconds limit = 10s);
    /// Whether a receive has seen the peer close (or reset) the connection.
    bool peerClosed() const { return peerClosed_; }
    void close();

private:
    int fd_ = -1;
    bool peerClosed_ = false;
};

/// A response as received. Its framing is checked by Boost.Beast: `status` is 0 unless
/// `raw` is exactly one whole HTTP/1.1 response.
struct Response {
    int status = 0;
    std::string body;
    std::string raw;
    /// The body as JSON; a discarded value when it is not JSON.
    nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

/// `bytes` as one whole response.
Response parseResponse(const std::string& bytes);

/// An event stream being read: the text after "data: " of each event, as they arrive.
class Events {
public:
    Events(std::uint16_t port, const std::string& path, const std::string& key);
    /// The next event's text; nothing once the stream has ended or `limit` passed first.
    std::optional<std::string> next(std::chrono::milliseconds limit = 20s);
    /// Events until the stream ends (or `limit` passes).
    std::vector<std::string> rest(std::chrono::milliseconds limit = 30s);
    /// Whether the server has closed the stream and every event has been taken.
    bool ended() const { return connection_.peerClosed() && pending_.empty(); }
    int descriptor() const { return connection_.descriptor(); }

private:
    Connection connection_;
    std::string pending_;
};

/// Requests, one connection each, to the service on 127.0.0.1:`port` with its key.
class HTTPClient {
public:
    HTTPClient(std::uint16_t port, std::string key)
        : port_(port)
        , key_(std::move(key)) {}

    /// `body` is sent as JSON when given; the key as a bearer when `withKey`.
    Response request(const std::string& method, const std::string& path,
                     const std::optional<json>& body = std::nullopt, bool withKey = true);
    Response get(const std::string& path, bool withKey = true) {
        return request("GET", path, std::nullopt, withKey);
    }
    Response post(const std::string& path, const json& body) { return request("POST", path, body); }
    Response del(const std::string& path) { return request("DELETE", path); }
    /// Sends `bytes` as they are and returns all that comes back until the close.
    std::string exchange(const std::string& bytes, std::chrono::milliseconds limit = 10s);
    Events events(const std::string& path) { return Events(port_, path, key_); }

private:
    std::uint16_t port_;
    std::string key_;
};

} // namespace pavix::test
