#include "HTTPClient.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pavix::test {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds leftUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

} // namespace

Connection::Connection(std::uint16_t port, const std::string& host) {
    ::signal(SIGPIPE, SIG_IGN); // a server that closes early must not end the test
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1; // small writes go out as written, so a request arrives in the test's pieces
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) close();
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
    ::shutdown(fd_, SHUT_WR);
}

std::string Connection::receiveSome(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (fd_ >= 0 && !peerClosed_) {
        pollfd ready{fd_, POLLIN, 0};
        int polled = ::poll(&ready, 1, static_cast<int>(leftUntil(deadline).count()));
        if (polled == 0) return {};
        std::string chunk(65536, '\0');
        ssize_t n = polled < 0 ? -1 : ::recv(fd_, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        peerClosed_ = n <= 0; // the end, or a reset: either way the peer closed it
        chunk.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return chunk;
    }
    return {};
}

std::string Connection::receiveAll(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string all;
    while (fd_ >= 0 && !peerClosed_ && Clock::now() < deadline)
        all += receiveSome(leftUntil(deadline));
    return all;
}

Response parseResponse(const std::string& bytes) {
    namespace http = boost::beast::http;
    Response response;
    response.raw = bytes;
    http::response_parser<http::string_body> parser;
    parser.eager(true);
    parser.body_limit(boost::none);
    boost::beast::error_code error;
    std::size_t used = 0;
    while (!error && !parser.is_done() && used < bytes.size())
        used += parser.put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), error);
    if (error == http::error::need_more) error = {};
    if (!error && !parser.is_done() && parser.got_some()) parser.put_eof(error);
    // Bytes past the end of the response are a framing fault too.
    if (error || !parser.is_done() || used != bytes.size()) return response;
    const auto& message = parser.get();
    response.status = static_cast<int>(message.result_int());
    response.body = message.body();
    return response;
}

Events::Events(std::uint16_t port, const std::string& path, const std::string& key)
    : connection_(port) {
    connection_.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                     key + "\r\n\r\n");
    const auto deadline = Clock::now() + 10s;
    std::string received;
    std::size_t end;
    while ((end = received.find("\r\n\r\n")) == std::string::npos && !connection_.peerClosed() &&
           Clock::now() < deadline)
        received += connection_.receiveSome(leftUntil(deadline));
    if (end != std::string::npos) pending_ = received.substr(end + 4);
}

std::optional<std::string> Events::next(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = pending_.find("\n\n"); end != std::string::npos) {
            std::string frame = pending_.substr(0, end);
            pending_.erase(0, end + 2);
            return frame.rfind("data: ", 0) == 0 ? frame.substr(6) : "not an event: " + frame;
        }
        if (connection_.peerClosed() || Clock::now() >= deadline) return std::nullopt;
        pending_ += connection_.receiveSome(leftUntil(deadline));
    }
}

std::vector<std::string> Events::rest(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<std::string> texts;
    while (auto text = next(leftUntil(deadline)))
        texts.push_back(std::move(*text));
    return texts;
}

Response HTTPClient::request(const std::string& method, const std::string& path,
                             const std::optional<json>& body, bool withKey) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (withKey) text += "Authorization: Bearer " + key_ + "\r\n";
    std::string payload = body ? body->dump() : "";
    if (body || method == "POST")
        text += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
    return parseResponse(exchange(text + "\r\n" + payload));
}

std::string HTTPClient::exchange(const std::string& bytes, std::chrono::milliseconds limit) {
    Connection connection(port_);
    return connection.send(bytes) ? connection.receiveAll(limit) : std::string();
}

} // namespace pavix::test
