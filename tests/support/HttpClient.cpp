#include "HttpClient.h"

#include "util/text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
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

Connection::Connection(std::uint16_t port) {
    ::signal(SIGPIPE, SIG_IGN); // a server that closes early must not end the test
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

bool Connection::send(const std::string& bytes) {
    std::size_t at = 0;
    while (fd_ >= 0 && at < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

void Connection::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string Connection::receiveSome(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (fd_ >= 0 && !peerClosed_) {
        pollfd ready{fd_, POLLIN, 0};
        int polled = ::poll(&ready, 1, millisecondsUntil(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return {};
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            peerClosed_ = true;
            return {};
        }
        return std::string(chunk, static_cast<std::size_t>(n));
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

nlohmann::json HttpResponse::json() const {
    return nlohmann::json::parse(body, nullptr, false);
}

HttpResponse parseResponse(const std::string& bytes) {
    HttpResponse response;
    response.raw = bytes;
    auto headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string::npos || bytes.rfind("HTTP/1.1 ", 0) != 0) return response;
    try {
        response.status = std::stoi(bytes.substr(9, 3));
    } catch (...) {
        return response;
    }
    std::size_t at = bytes.find("\r\n") + 2;
    while (at < headEnd) {
        std::size_t end = bytes.find("\r\n", at);
        std::string line = bytes.substr(at, end - at);
        if (auto colon = line.find(':'); colon != std::string::npos)
            response.headers[toLowerASCII(line.substr(0, colon))] =
                trimSpaces(line.substr(colon + 1));
        at = end + 2;
    }
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

HttpResponse HttpClient::request(const std::string& method, const std::string& path,
                                 const std::optional<nlohmann::json>& body, bool withKey) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (withKey) text += "Authorization: Bearer " + key_ + "\r\n";
    std::string payload = body ? body->dump() : "";
    if (body) text += "Content-Type: application/json\r\n";
    if (body || method == "POST")
        text += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
    return parseResponse(exchange(text + "\r\n" + payload));
}

std::string HttpClient::exchange(const std::string& bytes, std::chrono::milliseconds limit) {
    Connection connection(port_);
    if (!connection.send(bytes)) return {};
    return connection.receiveAll(limit);
}

std::vector<std::string> HttpClient::collectEvents(const std::string& path, std::size_t count,
                                                   std::chrono::milliseconds limit) {
    EventReader reader(port_, path, key_);
    return reader.collect(count, limit);
}

} // namespace pavix::test
