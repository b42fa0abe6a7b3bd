#include "http/Accept.h"

#include "util/Descriptors.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace pavix {

// The socket lacks close-on-exec for a moment. A child spawned on another thread meanwhile
// (the Claude Code probe) does not take it along: every spawn of ours closes all the
// descriptors it does not name.
Accepted acceptConnection(int listener) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    if (fd < 0) return {};
    setCloseOnExec(fd);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return {fd, isLoopbackPeer(&peer), peerAddress(&peer)};
}

void deferAcceptUntilData(int) {} // nothing of the kind on macOS

} // namespace pavix
