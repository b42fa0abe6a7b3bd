#include "Net.h"

#include "LoopbackPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace pavix::bench {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

int listenLoopback() {
    std::uint16_t port = 0;
    int fd = test::boundLoopbackSocket(port);
    if (::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int connectLoopback(std::uint16_t port, std::chrono::milliseconds timeout) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval limit{long(timeout.count() / 1000), long(timeout.count() % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string httpRequest(const std::string& method, const std::string& path, const std::string& key,
                        const std::string& body) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!key.empty()) request += "Authorization: Bearer " + key + "\r\n";
    if (!body.empty() || method == "POST")
        request +=
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n";
    return request + "\r\n" + body;
}

DeltaCounter::DeltaCounter(Kind kind, bool keepLatencies)
    : kind_(kind)
    , keep_(keepLatencies)
    , started_(kind == Kind::agentLines) {}

void DeltaCounter::feed(const char* data, std::size_t size, std::int64_t readNs) {
    const char* end = data + size;
    if (!partial_.empty()) {
        const char* newline = static_cast<const char*>(std::memchr(data, '\n', size));
        if (!newline) {
            partial_.append(data, size);
            return;
        }
        partial_.append(data, std::size_t(newline - data));
        line(partial_.data(), partial_.data() + partial_.size(), readNs);
        partial_.clear();
        data = newline + 1;
    }
    while (data < end) {
        const char* newline =
            static_cast<const char*>(std::memchr(data, '\n', std::size_t(end - data)));
        if (!newline) {
            partial_.assign(data, end);
            return;
        }
        line(data, newline, readNs);
        data = newline + 1;
    }
}

void DeltaCounter::line(const char* begin, const char* end, std::int64_t readNs) {
    std::string_view text(begin, std::size_t(end - begin));
    std::string_view stampKey;
    if (kind_ == Kind::agentLines) {
        if (text.find("\"text_delta\"") == std::string_view::npos) {
            if (text.find("\"type\":\"result\"") != std::string_view::npos) completed_ = true;
            return;
        }
        stampKey = "\"text\":\"";
    } else {
        if (text.rfind("data: ", 0) != 0) {
            if (text.rfind("HTTP/1.1 200", 0) == 0) started_ = true;
            return;
        }
        if (text.find("\"message.delta\"") == std::string_view::npos) {
            if (text.find("\"run.completed\"") != std::string_view::npos) completed_ = true;
            return;
        }
        stampKey = "\"delta\":\"";
    }
    ++deltas_;
    lastDeltaNs_ = readNs;
    if (!keep_) return;
    auto at = text.find(stampKey);
    if (at == std::string_view::npos) return;
    std::int64_t sent = 0;
    for (std::size_t i = at + stampKey.size(); i < text.size() && text[i] >= '0' && text[i] <= '9';
         ++i)
        sent = sent * 10 + (text[i] - '0');
    latencies_.push_back(double(readNs - sent));
}

} // namespace pavix::bench
