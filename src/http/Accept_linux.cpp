#include "http/Accept.h"

#include <sys/socket.h>

namespace pavix {

// Both flags in the same call: no child spawned meanwhile can inherit the socket.
int acceptConnection(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

} // namespace pavix
