#include "http/Accept.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace pavix {

bool isLoopbackPeer(const void* address) {
    const auto* any = static_cast<const sockaddr*>(address);
    if (any->sa_family == AF_INET) {
        // Exactly 127.0.0.1 as plain IPv4, as the approval tool connects; any 127/8 mapped.
        return ntohl(static_cast<const sockaddr_in*>(address)->sin_addr.s_addr) == INADDR_LOOPBACK;
    }
    if (any->sa_family != AF_INET6) return false;
    const in6_addr& ip = static_cast<const sockaddr_in6*>(address)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&ip) || (IN6_IS_ADDR_V4MAPPED(&ip) && ip.s6_addr[12] == 127);
}

std::string peerAddress(const void* address) {
    const auto* any = static_cast<const sockaddr*>(address);
    char text[INET6_ADDRSTRLEN] = "";
    if (any->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &static_cast<const sockaddr_in*>(address)->sin_addr, text,
                    sizeof text);
    } else if (any->sa_family == AF_INET6) {
        const in6_addr& ip = static_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&ip)) {
            in_addr v4{};
            std::memcpy(&v4, ip.s6_addr + 12, sizeof v4);
            ::inet_ntop(AF_INET, &v4, text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &ip, text, sizeof text);
        }
    }
    return text;
}

} // namespace pavix
