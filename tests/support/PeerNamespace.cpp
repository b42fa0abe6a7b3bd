#include "PeerNamespace.h"

#include <unistd.h>

namespace pavix::test {

namespace {

// `ip` lives in sbin, which a non-login PATH may lack.
ProgramOutput shell(const std::string& script) {
    return runProgram("/bin/sh", {"-c", "PATH=$PATH:/usr/sbin:/sbin; " + script});
}

} // namespace

Result<std::unique_ptr<PeerNamespace>> PeerNamespace::create() {
    if (::geteuid() != 0) return Error{"network namespaces need root"};
    if (shell("command -v ip").status != 0) return Error{"iproute2's ip is not installed"};
    std::unique_ptr<PeerNamespace> peer(new PeerNamespace);
    std::string id = std::to_string(::getpid());
    // Other pids get other subnets, so concurrent tests' routes never meet.
    unsigned subnet = static_cast<unsigned>(::getpid()) % 16384 * 4;
    auto address = [&](unsigned host) {
        return "10.213." + std::to_string((subnet + host) >> 8) + "." +
               std::to_string((subnet + host) & 255);
    };
    peer->name_ = "pavix-peer-" + id;
    peer->hostAddress_ = address(1);
    // Interface names hold 15 bytes at most.
    auto made =
        shell("set -e; ip netns add " + peer->name_ + "; ip link add pxh" + id +
              " type veth peer name pxn" + id + "; ip link set pxn" + id + " netns " + peer->name_ +
              "; ip address add " + address(1) + "/30 dev pxh" + id + "; ip link set pxh" + id +
              " up; ip -n " + peer->name_ + " address add " + address(2) + "/30 dev pxn" + id +
              "; ip -n " + peer->name_ + " link set pxn" + id + " up");
    if (made.status != 0) return Error{"couldn't make a network namespace: " + made.err};
    return peer;
}

PeerNamespace::~PeerNamespace() {
    // Deleting the namespace takes its veth end, and with it ours.
    shell("ip netns delete " + name_ + " 2>/dev/null; ip link delete pxh" +
          name_.substr(name_.rfind('-') + 1) + " 2>/dev/null");
}

ProgramOutput PeerNamespace::exchange(std::uint16_t port, const std::string& bytes) const {
    // The first cat sends our bytes and ends with them; the second returns the answer.
    return runProgram("/bin/sh",
                      {"-c",
                       "PATH=$PATH:/usr/sbin:/sbin exec ip netns exec \"$0\" timeout 30 bash "
                       "-c 'exec 3<>\"/dev/tcp/$0/$1\" && cat >&3 && cat <&3' \"$1\" \"$2\"",
                       name_, hostAddress_, std::to_string(port)},
                      {}, bytes);
}

} // namespace pavix::test
