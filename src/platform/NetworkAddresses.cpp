#include "platform/NetworkAddresses.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace pavix {

namespace {

// The numeric text of a reachable address, or empty for one the phone can't use.
std::string reachableText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
        ::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_LINKLOCAL(&ipv6->sin6_addr)) return {};
        ::inet_ntop(AF_INET6, &ipv6->sin6_addr, text, sizeof text);
    }
    return text;
}

} // namespace

Result<std::vector<NetworkAddress>> networkAddresses() {
    ifaddrs* entries = nullptr;
    if (::getifaddrs(&entries) != 0) return Error{std::strerror(errno)};
    std::vector<NetworkAddress> ipv4, ipv6;
    for (const ifaddrs* entry = entries; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        std::string text = reachableText(entry->ifa_addr);
        if (text.empty()) continue;
        auto& family = entry->ifa_addr->sa_family == AF_INET ? ipv4 : ipv6;
        family.push_back({std::move(text), entry->ifa_name});
    }
    ::freeifaddrs(entries);
    ipv4.insert(ipv4.end(), ipv6.begin(), ipv6.end());
    return ipv4;
}

} // namespace pavix
