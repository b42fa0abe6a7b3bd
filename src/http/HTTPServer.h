#pragma once

#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "http/Limits.h"
#include "http/ReadBudget.h"
#include "http/RequestParser.h"
#include "util/Async.h"
#include "util/Result.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavix {

/// A seam for tests, which cannot wait out the server's own timings: the service runs with
/// these defaults unless a test asks otherwise (see `fromEnvironment`).
struct ServerTimingsForTests {
    std::chrono::steady_clock::duration requestDeadline = pavix::requestDeadline;
    std::chrono::milliseconds keepaliveComment = keepaliveCommentInterval;

    /// The defaults, with the keepalive comment's interval from the environment variable
    /// "PAVIX_TEST_KEEPALIVE_MS" when it holds a number of milliseconds from 1 to the
    /// default's (anything else leaves the default): the test of the comment need not
    /// wait 15 seconds.
    static ServerTimingsForTests fromEnvironment();
};

/// The service's HTTP/1.1 listener: one request per connection, answered by the
/// handler with a JSON response or an event stream, then the connection is closed.
/// A request whose head the head check refuses is answered at once, its body unread.
/// Requests being read hold at most `requestBufferBudget` bytes together (ReadBudget).
/// Listens on one address (and loopback), or on every interface (IPv6 dual-stack where
/// available).
/// Loop-affine: create, start and destroy it on the thread that runs its executor.
class HTTPServer {
public:
    /// Called once per request, in the request's own coroutine; may take as long as it likes.
    using Handler = std::function<asio::awaitable<HTTPResponse>(HTTPRequest)>;
    /// Binds and listens on `port` (0 picks a free one, see `port()`) of `address`, an
    /// IPv4 or IPv6 address literal, and of 127.0.0.1 unless the address covers it
    /// (the approval tool asks there), or of every interface without one; the error
    /// describes why a listener could not be set up (not an address, the port is taken).
    /// Without a `check` every body is read and no peer is trusted.
    static Result<std::unique_ptr<HTTPServer>> create(asio::any_io_executor executor,
                                                      const std::optional<std::string>& address,
                                                      std::uint16_t port, Handler handler,
                                                      HeadCheck check,
                                                      ServerTimingsForTests timings = {});
    ~HTTPServer();
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    /// Starts accepting once the loop runs; logs "listening" then. Passing accept
    /// errors (out of descriptors and the like) pause accepting briefly; if the
    /// listener breaks for good, "listener failed: …" is logged and `onFailure` called.
    void start(std::function<void(const Error&)> onFailure);

    /// The port actually bound.
    std::uint16_t port() const;

private:
    struct Listener;
    explicit HTTPServer(std::vector<std::shared_ptr<Listener>> listeners);
    static asio::awaitable<void> acceptConnections(std::shared_ptr<Listener> listener,
                                                   std::function<void(const Error&)> onFailure);
    std::vector<std::shared_ptr<Listener>> listeners_; ///< never empty
};

} // namespace pavix
