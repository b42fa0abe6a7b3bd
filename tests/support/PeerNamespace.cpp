#include "PeerNamespace.h"

#include <cstdlib>
#include <exception>
#include <sstream>
#include <unistd.h>

namespace pavix::test {

namespace fs = std::filesystem;

namespace {

// `ip` lives in sbin, which a non-login PATH may lack.
std::optional<fs::path> findIp() {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    std::istringstream folders(path + ":/usr/sbin:/sbin:/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        fs::path candidate = fs::path(folder) / "ip";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::string dotted(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

} // namespace

Result<std::unique_ptr<PeerNamespace>> PeerNamespace::create() {
    if (::geteuid() != 0) return Error{"network namespaces need root"};
    auto ip = findIp();
    if (!ip) return Error{"iproute2's ip is not installed"};

    std::unique_ptr<PeerNamespace> peer(new PeerNamespace);
    peer->ip_ = *ip;
    std::string id = std::to_string(::getpid());
    peer->name_ = "pavix-peer-" + id;
    peer->hostLink_ = "pxh" + id; // interface names hold 15 bytes at most
    peer->peerLink_ = "pxn" + id;
    // Concurrent runs (other pids) get other subnets, so their routes never meet.
    std::uint32_t subnet =
        (10u << 24 | 213u << 16) + (static_cast<std::uint32_t>(::getpid()) % 16384) * 4;
    peer->hostAddress_ = dotted(subnet + 1);
    peer->peerAddress_ = dotted(subnet + 2);

    if (!peer->ip({"-o", "-4", "address", "show", "to", dotted(subnet) + "/30"}).out.empty())
        return Error{dotted(subnet) + "/30 is in use here already"};
    if (auto added = peer->ip({"netns", "add", peer->name_}); added.status != 0)
        return Error{"couldn't add a network namespace: " + added.err};
    peer->made_ = true; // from here on the destructor removes whatever was made
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{"link", "add", peer->hostLink_, "type", "veth", "peer", "name",
                                   peer->peerLink_},
          {"link", "set", peer->peerLink_, "netns", peer->name_},
          {"address", "add", peer->hostAddress_ + "/30", "dev", peer->hostLink_},
          {"link", "set", peer->hostLink_, "up"},
          {"-n", peer->name_, "address", "add", peer->peerAddress_ + "/30", "dev", peer->peerLink_},
          {"-n", peer->name_, "link", "set", peer->peerLink_, "up"}}) {
        if (auto done = peer->ip(step); done.status != 0) {
            std::string words;
            for (const auto& word : step)
                words += " " + word;
            return Error{"ip" + words + " failed: " + done.err};
        }
    }
    return peer;
}

PeerNamespace::~PeerNamespace() {
    if (!made_) return;
    try {
        // Deleting the namespace takes its veth end and with it ours; the second is for
        // a pair that never got moved into the namespace.
        ip({"netns", "delete", name_});
        ip({"link", "delete", hostLink_});
    } catch (const std::exception&) {
    }
}

ProgramOutput PeerNamespace::ip(const std::vector<std::string>& arguments) const {
    return runProgram(ip_.string(), arguments);
}

ProgramOutput PeerNamespace::exchange(std::uint16_t port, const std::string& bytes) const {
    // The first cat sends our bytes (standard input) and ends with them; the second
    // returns the answer until the server closes.
    return runProgram(ip_.string(),
                      {"netns", "exec", name_, "timeout", "30", "bash", "-c",
                       "exec 3<>\"/dev/tcp/$0/$1\" && cat >&3 && cat <&3", hostAddress_,
                       std::to_string(port)},
                      {}, bytes);
}

} // namespace pavix::test
