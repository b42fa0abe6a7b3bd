#include "LoopbackPort.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace pavix::test {

int boundLoopbackSocket(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    port = ntohs(address.sin_port);
    return fd;
}

namespace {

// The lowest port the system hands out for outgoing connections.
unsigned firstEphemeralPort() {
    unsigned low = 32768, high = 60999;
    if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
        if (std::fscanf(range, "%u %u", &low, &high) != 2) low = 32768;
        std::fclose(range);
    }
    return low;
}

bool bindable(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

} // namespace

std::uint16_t freePort() {
    // Below the ephemeral range: a client connecting to a port in that range while
    // nothing listens can be handed that very port as its own and connect to itself,
    // which looks like a listener. Thousands of connections in a test make it likely.
    const unsigned end = std::min(firstEphemeralPort(), 65536u);
    const unsigned begin = end > 12000 ? end - 12000 : 1024;
    std::minstd_rand random(static_cast<unsigned>(::getpid()) ^ std::random_device()());
    for (int attempt = 0; attempt < 200 && begin < end; ++attempt) {
        auto port = static_cast<std::uint16_t>(begin + random() % (end - begin));
        if (bindable(port)) return port;
    }
    std::uint16_t port = 0;
    try {
        ::close(boundLoopbackSocket(port));
    } catch (const std::runtime_error&) {
        return 0;
    }
    return port;
}

} // namespace pavix::test
