#include "LoopbackClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace pavix::test {

namespace {

constexpr int guardMilliseconds = 30'000;

} // namespace

LoopbackClient::LoopbackClient(std::uint16_t port, bool ipv6,
                               const std::function<void()>& beforeConnect) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (beforeConnect) beforeConnect();
    int rc;
    if (ipv6) {
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
    if (rc != 0) {
        ::close(fd_);
        throw std::runtime_error("connect failed");
    }
}

LoopbackClient::~LoopbackClient() {
    close();
}

void LoopbackClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool LoopbackClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void LoopbackClient::shutdownSend() {
    ::shutdown(fd_, SHUT_WR);
}

std::string LoopbackClient::receive(std::size_t count) {
    std::string bytes;
    while (bytes.size() < count) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, guardMilliseconds) <= 0) break;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
}

LoopbackClient::Received LoopbackClient::receiveUntilClosed(std::chrono::milliseconds guard) {
    Received received;
    auto deadline = std::chrono::steady_clock::now() + guard;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return received;
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            received.closed = true; // the end, or a reset: either way the server closed it
            return received;
        }
        received.bytes.append(chunk, static_cast<std::size_t>(n));
    }
}

std::uint16_t freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace pavix::test
