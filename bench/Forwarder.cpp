// The least a relay can do: copy a pipe to loopback sockets, with no parsing at all.
// Usage: forwarder PORT [CONNECTIONS]. Connects CONNECTIONS times (default 1) to
// 127.0.0.1:PORT, then copies standard input to every connection until it ends.

#include "util/Files.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const int port = std::atoi(argv[1]);
    const int connections = argc > 2 ? std::atoi(argv[2]) : 1;
    signal(SIGPIPE, SIG_IGN);
    alarm(300);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> sockets;
    for (int i = 0; i < connections; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return 1;
        // Each chunk goes out as it is read, never held back for an acknowledgement.
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sockets.push_back(fd);
    }
    static char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (int fd : sockets)
            if (!pavix::writeAll(fd, std::string_view(buffer, std::size_t(n)))) return 1;
    }
    for (int fd : sockets)
        ::close(fd);
    return 0;
}
