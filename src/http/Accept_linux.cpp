#include "http/Accept.h"
#include "http/Limits.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace pavix {

// Both flags in the same call: no child spawned meanwhile can inherit the socket. The peer's
// address comes with it, so the loopback rule costs no call of its own.
Accepted acceptConnection(int listener) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                       SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return {};
    return {fd, isLoopbackPeer(&peer), peerAddress(&peer)};
}

void deferAcceptUntilData(int listener) {
    const int seconds = static_cast<int>(deferredAcceptTime.count());
    ::setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

} // namespace pavix
