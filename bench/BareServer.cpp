// The least an HTTP server can do per connection: accept, take what the client sent,
// write a fixed small response, close. One thread, blocking calls.
// Usage: bare_server PORT. Serves 127.0.0.1:PORT until it is ended (at most 10 minutes).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    signal(SIGPIPE, SIG_IGN);
    alarm(600);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, SOMAXCONN) != 0)
        return 1;

    static const char response[] = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                   "Content-Length: 15\r\nConnection: close\r\n\r\n"
                                   "{\"status\":\"ok\"}";
    char request[4096];
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Reading the request first makes the close a FIN, not a reset of unread bytes.
        (void)::read(fd, request, sizeof request);
        (void)::write(fd, response, sizeof response - 1);
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}
