#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pavix::test {

/// A blocking, close-on-exec TCP connection to a loopback port (127.0.0.1, or ::1),
/// closed with the object. Waits are bounded by generous guards so a fault fails the
/// test instead of hanging it.
class LoopbackClient {
public:
    /// `beforeConnect` runs between making the socket and connecting it.
    explicit LoopbackClient(std::uint16_t port, bool ipv6 = false,
                            const std::function<void()>& beforeConnect = {});
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    /// Sends all of `bytes`; false if the connection refused them.
    bool send(std::string_view bytes);
    /// Ends our sending side; the server sees the end of the stream.
    void shutdownSend();
    /// Reads until `count` bytes have arrived in all, or the server has closed.
    std::string receive(std::size_t count);
    /// Reads everything until the server closes; `closed` is false if it didn't in time.
    struct Received {
        std::string bytes;
        bool closed = false;
    };
    Received receiveUntilClosed(std::chrono::milliseconds guard = std::chrono::seconds(30));
    void close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

/// A loopback port that was free a moment ago.
std::uint16_t freeLoopbackPort();

} // namespace pavix::test
