#include "HTTPClient.h"

#include "util/Text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pavix::test {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

Connection::Connection(std::uint16_t port, Family family,
                       const std::function<void()>& beforeConnect) {
    ::signal(SIGPIPE, SIG_IGN); // a server that closes early must not end the test
    fd_ = ::socket(family == Family::ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    // Small writes go out as written, so a request can arrive in the pieces a test sends.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (beforeConnect) beforeConnect();
    int rc;
    if (family == Family::ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (rc != 0) close();
}

Connection::~Connection() {
    close();
}

void Connection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Connection::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return fd_ >= 0;
}

void Connection::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string Connection::receiveSome(std::chrono::milliseconds limit) {
    return receiveAtMost(65536, limit);
}

std::string Connection::receiveAtMost(std::size_t most, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (fd_ >= 0 && !peerClosed_) {
        pollfd ready{fd_, POLLIN, 0};
        int polled = ::poll(&ready, 1, millisecondsUntil(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return {};
        std::string chunk(most, '\0');
        ssize_t n = ::recv(fd_, chunk.data(), most, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            peerClosed_ = true; // the end, or a reset: either way the peer closed it
            return {};
        }
        chunk.resize(static_cast<std::size_t>(n));
        return chunk;
    }
    return {};
}

std::string Connection::receiveAll(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string all;
    while (!peerClosed_ && Clock::now() < deadline)
        all += receiveSome(std::chrono::milliseconds(millisecondsUntil(deadline)));
    return all;
}

std::string Connection::receiveExactly(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string bytes;
    while (bytes.size() < count && fd_ >= 0 && !peerClosed_ && Clock::now() < deadline)
        bytes += receiveAtMost(count - bytes.size(),
                               std::chrono::milliseconds(millisecondsUntil(deadline)));
    return bytes;
}

nlohmann::json HTTPResponse::json() const {
    return nlohmann::json::parse(body, nullptr, false);
}

std::map<std::string, std::string> parseHeaderLines(std::string_view head) {
    std::map<std::string, std::string> headers;
    for (auto at = head.find("\r\n"); at != std::string_view::npos;) {
        auto end = head.find("\r\n", at + 2);
        auto line = head.substr(at + 2, end == std::string_view::npos ? end : end - at - 2);
        if (auto colon = line.find(':'); colon != std::string_view::npos)
            headers[toLowerASCII(line.substr(0, colon))] = trimSpaces(line.substr(colon + 1));
        at = end;
    }
    return headers;
}

HTTPResponse parseResponse(const std::string& bytes) {
    HTTPResponse response;
    response.raw = bytes;
    auto headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string::npos || bytes.rfind("HTTP/1.1 ", 0) != 0) return response;
    try {
        response.status = std::stoi(bytes.substr(9, 3));
    } catch (...) {
        return response;
    }
    response.headers = parseHeaderLines(std::string_view(bytes).substr(0, headEnd));
    response.body = bytes.substr(headEnd + 4);
    return response;
}

EventReader::EventReader(std::uint16_t port, const std::string& path, const std::string& key)
    : connection_(port) {
    connection_.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                     key + "\r\n\r\n");
    const auto deadline = Clock::now() + 10s;
    std::string received;
    while (received.find("\r\n\r\n") == std::string::npos && !connection_.peerClosed() &&
           Clock::now() < deadline)
        received += connection_.receiveSome(std::chrono::milliseconds(millisecondsUntil(deadline)));
    response_ = parseResponse(received);
    pending_ = response_.body;
}

std::optional<std::string> EventReader::next(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = pending_.find("\n\n"); end != std::string::npos) {
            std::string frame = pending_.substr(0, end);
            pending_.erase(0, end + 2);
            if (frame.rfind("data: ", 0) == 0) frame.erase(0, 6);
            return frame;
        }
        if (connection_.peerClosed() || Clock::now() >= deadline) return std::nullopt;
        pending_ += connection_.receiveSome(std::chrono::milliseconds(millisecondsUntil(deadline)));
    }
}

std::vector<std::string> EventReader::collect(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<std::string> events;
    while (events.size() < count) {
        auto event = next(std::chrono::milliseconds(millisecondsUntil(deadline)));
        if (!event) break;
        events.push_back(std::move(*event));
    }
    return events;
}

HTTPResponse HTTPClient::request(const std::string& method, const std::string& path,
                                 const std::optional<nlohmann::json>& body, bool withKey) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (withKey) text += "Authorization: Bearer " + key_ + "\r\n";
    std::string payload = body ? body->dump() : "";
    if (body) text += "Content-Type: application/json\r\n";
    if (body || method == "POST")
        text += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
    return parseResponse(exchange(text + "\r\n" + payload));
}

std::string HTTPClient::exchange(const std::string& bytes, std::chrono::milliseconds limit) {
    Connection connection(port_);
    if (!connection.send(bytes)) return {};
    return connection.receiveAll(limit);
}

std::vector<std::string> HTTPClient::collectEvents(const std::string& path, std::size_t count,
                                                   std::chrono::milliseconds limit) {
    EventReader reader(port_, path, key_);
    return reader.collect(count, limit);
}

} // namespace pavix::test
