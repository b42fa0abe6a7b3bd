#include "CannedHTTPServer.h"

#include "HTTPClient.h"
#include "LoopbackPort.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace pavix::test {

namespace {

// Only a failing test waits this long: a client that never connects or never finishes.
constexpr int guardMilliseconds = 60'000;

/// Reads until the head and Content-Length bytes of body have arrived; false if the peer
/// stopped first.
bool readRequest(int fd, RecordedRequest& request) {
    std::string data;
    std::size_t headEnd = std::string::npos;
    std::size_t needed = 0;
    for (;;) {
        if (headEnd == std::string::npos &&
            (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            std::string head = data.substr(0, headEnd);
            std::string first = head.substr(0, head.find("\r\n"));
            request.method = first.substr(0, first.find(' '));
            std::size_t targetStart = first.find(' ') + 1;
            request.target = first.substr(targetStart, first.find(' ', targetStart) - targetStart);
            request.headers = parseHeaderLines(head);
            auto length = request.headers.find("content-length");
            needed =
                headEnd + 4 + (length == request.headers.end() ? 0 : std::stoul(length->second));
        }
        if (headEnd != std::string::npos && data.size() >= needed) {
            request.body = data.substr(headEnd + 4, needed - headEnd - 4);
            return true;
        }
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, guardMilliseconds) <= 0) return false;
        char chunk[65536];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        data.append(chunk, static_cast<std::size_t>(n));
    }
}

void writeAllOf(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace

std::string httpResponse(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

CannedHTTPServer::CannedHTTPServer(std::vector<std::string> responses)
    : responses_(std::move(responses)) {
    listener_ = boundLoopbackSocket(port_);
    if (::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        ::close(listener_);
        throw std::runtime_error("listen failed");
    }
    thread_ = std::thread([this] { serve(); });
}

CannedHTTPServer::~CannedHTTPServer() {
    stop();
    ::close(listener_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

void CannedHTTPServer::stop() {
    if (!thread_.joinable()) return;
    [[maybe_unused]] auto n = ::write(stopPipe_[1], "x", 1);
    thread_.join();
}

std::vector<RecordedRequest> CannedHTTPServer::requests() {
    stop();
    return requests_;
}

void CannedHTTPServer::serve() {
    for (const std::string& response : responses_) {
        pollfd ready[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(ready, 2, guardMilliseconds) <= 0 || (ready[1].revents & POLLIN)) return;
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;
        RecordedRequest request;
        if (readRequest(connection, request)) {
            requests_.push_back(request);
            writeAllOf(connection, response);
        }
        ::close(connection);
    }
}

RefusingPort::RefusingPort()
    : socket_(boundLoopbackSocket(port_)) {}

RefusingPort::~RefusingPort() {
    ::close(socket_);
}

} // namespace pavix::test
