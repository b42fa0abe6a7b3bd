#pragma once

#include <string>

namespace pavix {

/// One connection taken off a listening socket.
struct Accepted {
    int fd = -1;           ///< close-on-exec and non-blocking; -1 with errno set when none
    bool loopback = false; ///< see isLoopbackPeer
    std::string address;   ///< see peerAddress
};

/// Takes one pending connection off the non-blocking listening socket `listener` (EAGAIN
/// when none is pending).
Accepted acceptConnection(int listener);

/// Where the system can, makes `listener` report a connection only once its first bytes
/// have arrived, so that reading it can start without waiting.
void deferAcceptUntilData(int listener);

/// Whether the peer address `address` (a sockaddr of either family) is a loopback one:
/// 127.0.0.1, ::1, or an IPv4-mapped address in 127/8 (::ffff:127.…).
bool isLoopbackPeer(const void* address);

/// The peer address `address` (a sockaddr of either family) as text: "192.0.2.7",
/// "2001:db8::7"; an IPv4-mapped address as its IPv4 form.
std::string peerAddress(const void* address);

} // namespace pavix
