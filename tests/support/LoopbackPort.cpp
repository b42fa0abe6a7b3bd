#include "LoopbackPort.h"

#include <arpa/inet.h>
#include <fstream>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace pavix::test {

namespace {

int bound(std::uint32_t address, std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    socklen_t length = sizeof where;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
        port = ntohs(where.sin_port);
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

} // namespace

int boundLoopbackSocket(std::uint16_t& port) {
    port = 0;
    int fd = bound(INADDR_LOOPBACK, port);
    if (fd < 0) throw std::runtime_error("couldn't bind a loopback socket");
    return fd;
}

ReservedPort::ReservedPort() {
    unsigned ephemeral = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral;
    std::minstd_rand random(std::random_device{}());
    for (int attempt = 0; attempt < 200 && fd_ < 0; ++attempt) {
        number_ = static_cast<std::uint16_t>(ephemeral - 1 - random() % 12000);
        fd_ = bound(INADDR_ANY, number_);
    }
    const int yes = 1;
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0)
        throw std::runtime_error("no port to reserve");
}

ReservedPort::~ReservedPort() {
    ::close(fd_);
}

} // namespace pavix::test
