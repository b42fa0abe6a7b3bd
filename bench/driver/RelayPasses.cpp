// The passes the relay figures are made of: deltas from the bench agent through a plain
// pipe, the minimal forwarder, or a service's event streams, read by many readers at once.
#include "Relay.h"
#include "System.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

namespace pavix::bench {

using Clock = std::chrono::steady_clock;

namespace {

std::vector<double> gatherLatencies(std::vector<DeltaCounter>& counters) {
    std::vector<double> all;
    for (auto& counter : counters)
        all.insert(all.end(), counter.latencies().begin(), counter.latencies().end());
    return all;
}

} // namespace

void readAll(const std::vector<int>& fds, std::vector<DeltaCounter>& counters,
             Clock::time_point deadline, bool stopWhenStarted, std::vector<bool>& open) {
    int poller = ::epoll_create1(EPOLL_CLOEXEC);
    std::size_t remaining = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (!open[i]) continue;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, fds[i], &event);
        ++remaining;
    }
    static char buffer[256 * 1024];
    auto allStarted = [&] {
        return std::all_of(counters.begin(), counters.end(),
                           [](const DeltaCounter& c) { return c.started(); });
    };
    while (remaining > 0 && Clock::now() < deadline && !(stopWhenStarted && allStarted())) {
        epoll_event events[128];
        int ready = ::epoll_wait(poller, events, 128, 100);
        const std::int64_t now = nowNs();
        for (int e = 0; e < ready; ++e) {
            std::size_t i = events[e].data.u64;
            ssize_t n = ::read(fds[i], buffer, sizeof buffer);
            if (n > 0) {
                counters[i].feed(buffer, std::size_t(n), now);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::epoll_ctl(poller, EPOLL_CTL_DEL, fds[i], nullptr);
                open[i] = false;
                --remaining;
            }
        }
    }
    ::close(poller);
}

bool openGate(const std::string& fifo) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::fprintf(stderr, "the agent never reached its gate\n");
    return false;
}

std::string agentWords(std::uint64_t count, std::uint64_t rate, const std::string& fifo) {
    return "count=" + std::to_string(count) + " rate=" + std::to_string(rate) + " gate=" + fifo;
}

Pass finishPass(const std::vector<DeltaCounter>& counters, std::uint64_t count,
                std::int64_t gateNs) {
    Pass pass;
    pass.ok = true;
    std::int64_t last = gateNs;
    for (const auto& counter : counters) {
        pass.ok = pass.ok && counter.deltas() == count && counter.completed();
        last = std::max(last, counter.lastDeltaNs());
    }
    if (last > gateNs) pass.perReaderRate = double(count) * 1e9 / double(last - gateNs);
    if (!pass.ok) {
        std::uint64_t fewest = count;
        for (const auto& counter : counters)
            fewest = std::min(fewest, counter.deltas());
        std::fprintf(stderr, "a pass ended short: fewest deltas %llu of %llu\n",
                     static_cast<unsigned long long>(fewest),
                     static_cast<unsigned long long>(count));
    }
    return pass;
}

// The agent's standard output read straight from its pipe by one reader.
Pass pipePass(const Programs& programs, std::uint64_t count, std::uint64_t rate, bool latencies) {
    TempFolder folder;
    const std::string fifo = (folder.path() / "gate").string();
    ::mkfifo(fifo.c_str(), 0600);
    int input[2], output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) return {};
    SpawnOptions options{{programs.agent}, environmentWithout("PAVIX_BENCH_AGENT=")};
    options.environment.push_back("PAVIX_BENCH_AGENT=" + agentWords(count, rate, fifo));
    options.stdinFd = input[0];
    options.stdoutFd = output[1];
    pid_t agent = spawnProcess(options);
    ::close(input[0]);
    ::close(output[1]);
    (void)!::write(input[1], "{}\n", 3);
    ::close(input[1]);

    std::vector<int> fds{output[0]};
    std::vector<DeltaCounter> counters{DeltaCounter(DeltaCounter::Kind::agentLines, latencies)};
    std::vector<bool> open{true};
    Pass pass;
    if (agent > 0 && openGate(fifo)) {
        const std::int64_t gate = nowNs();
        readAll(fds, counters, Clock::now() + std::chrono::seconds(120), false, open);
        pass = finishPass(counters, count, gate);
        pass.latencies = gatherLatencies(counters);
    }
    ::close(output[0]);
    reap(agent, std::chrono::seconds(5));
    return pass;
}

// The agent's output copied to `readers` loopback sockets by the minimal forwarder.
Pass forwarderPass(const Programs& programs, std::size_t readers, std::uint64_t count,
                   std::uint64_t rate, bool latencies) {
    TempFolder folder;
    const std::string fifo = (folder.path() / "gate").string();
    ::mkfifo(fifo.c_str(), 0600);
    int listener = listenLoopback();
    int input[2], output[2];
    if (listener < 0 || ::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
        return {};
    SpawnOptions agentOptions{{programs.agent}, environmentWithout("PAVIX_BENCH_AGENT=")};
    agentOptions.environment.push_back("PAVIX_BENCH_AGENT=" + agentWords(count, rate, fifo));
    agentOptions.stdinFd = input[0];
    agentOptions.stdoutFd = output[1];
    pid_t agent = spawnProcess(agentOptions);
    SpawnOptions forwarderOptions{
        {programs.forwarder, std::to_string(boundPort(listener)), std::to_string(readers)},
        environmentWithout("PAVIX_")};
    forwarderOptions.stdinFd = output[0];
    pid_t forwarder = spawnProcess(forwarderOptions);
    ::close(input[0]);
    ::close(output[0]);
    ::close(output[1]);
    (void)!::write(input[1], "{}\n", 3);
    ::close(input[1]);

    std::vector<int> fds;
    pollfd waiting{listener, POLLIN, 0};
    while (fds.size() < readers && ::poll(&waiting, 1, 10'000) == 1) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) fds.push_back(fd);
    }
    ::close(listener);
    std::vector<DeltaCounter> counters(fds.size(),
                                       DeltaCounter(DeltaCounter::Kind::agentLines, latencies));
    std::vector<bool> open(fds.size(), true);
    Pass pass;
    if (agent > 0 && forwarder > 0 && fds.size() == readers && openGate(fifo)) {
        const std::int64_t gate = nowNs();
        readAll(fds, counters, Clock::now() + std::chrono::seconds(120), false, open);
        pass = finishPass(counters, count, gate);
        pass.latencies = gatherLatencies(counters);
    }
    for (int fd : fds)
        ::close(fd);
    reap(agent, std::chrono::seconds(5));
    pass.relayCpu = reap(forwarder, std::chrono::seconds(5));
    return pass;
}

namespace {

// One run of a started service (or relay): `readers` event-stream subscribers, each
// connected (head received) before the agent starts.
Pass followRun(Service& service, std::size_t readers, std::uint64_t count, std::uint64_t rate,
               bool latencies) {
    const std::string fifo = service.folder() + "/gate";
    ::mkfifo(fifo.c_str(), 0600);
    service.setAgent(agentWords(count, rate, fifo));
    auto run = service.startRun();
    if (!run) return {};

    const std::string request = httpRequest("GET", "/v1/runs/" + *run + "/events", service.key());
    std::vector<int> fds;
    for (std::size_t i = 0; i < readers; ++i) {
        int fd = connectLoopback(service.port(), std::chrono::seconds(10));
        if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) break;
        setNonBlocking(fd);
        fds.push_back(fd);
    }
    std::vector<DeltaCounter> counters(fds.size(),
                                       DeltaCounter(DeltaCounter::Kind::eventStream, latencies));
    std::vector<bool> open(fds.size(), true);
    readAll(fds, counters, Clock::now() + std::chrono::seconds(10), true, open);

    Pass pass;
    if (fds.size() == readers) {
        const double cpuBefore = cpuSeconds(service.pid());
        if (openGate(fifo)) {
            const std::int64_t gate = nowNs();
            readAll(fds, counters, Clock::now() + std::chrono::seconds(120), false, open);
            pass = finishPass(counters, count, gate);
            pass.latencies = gatherLatencies(counters);
            pass.relayCpu = cpuSeconds(service.pid()) - cpuBefore;
            pass.peakRssMiB = double(statusKiB(service.pid(), "VmHWM")) / 1024.0;
        }
    }
    for (int fd : fds)
        ::close(fd);
    if (!pass.ok) std::fprintf(stderr, "service log:\n%s\n", service.log().c_str());
    return pass;
}

} // namespace

// A fresh service, or a warm one: measured on its second run, after a first one as long.
Pass servicePass(const Programs& programs, Server server, bool warm, std::size_t readers,
                 std::uint64_t count, std::uint64_t rate, bool latencies) {
    Service service(programs, server);
    if (!service.start()) return {};
    if (warm && !followRun(service, 1, count, rate, false).ok) return {};
    return followRun(service, readers, count, rate, latencies);
}

} // namespace pavix::bench
