#include "Relay.h"
#include "Sections.h"
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

namespace {

std::vector<double> gatherLatencies(std::vector<DeltaCounter>& counters) {
    std::vector<double> all;
    for (auto& counter : counters)
        all.insert(all.end(), counter.latencies().begin(), counter.latencies().end());
    return all;
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

// A fresh service, or a warm one: measured on its second run, after a first one as long.
Pass servicePass(const Programs& programs, Server server, bool warm, std::size_t readers,
                 std::uint64_t count, std::uint64_t rate, bool latencies) {
    Service service(programs, server);
    if (!service.start()) return {};
    if (warm && !followRun(service, 1, count, rate, false).ok) return {};
    return followRun(service, readers, count, rate, latencies);
}

struct Samples {
    std::vector<double> rate, cpu, rss, p50, p99, max;
    void add(const Pass& pass, std::uint64_t count, std::size_t readers) {
        if (!pass.ok) return;
        rate.push_back(pass.perReaderRate);
        if (pass.relayCpu > 0) cpu.push_back(pass.relayCpu * 100'000.0 / double(count));
        if (pass.peakRssMiB > 0) rss.push_back(pass.peakRssMiB);
        (void)readers;
        if (!pass.latencies.empty()) {
            auto values = pass.latencies;
            p50.push_back(percentile(values, 0.50) / 1000.0);
            p99.push_back(percentile(values, 0.99) / 1000.0);
            max.push_back(*std::max_element(values.begin(), values.end()) / 1000.0);
        }
    }
};

struct Comparison {
    const Samples &node, &nodeWarm;
    /// The service's rate over the relay's, from the repetitions where both passes succeeded.
    std::vector<double> ratio, ratioWarm;
};

// The service beside the plain Node.js relay, fresh and warm (second run of one server).
void reportNode(Report& report, const std::string& subscribers, const std::string& events,
                const Comparison& c, int times) {
    const std::string name = "relay " + subscribers,
                      nodeName = "baseline node relay, " + subscribers;
    const std::string target = ">= " + std::to_string(times);
    report.add(nodeName, "events/s per sub", c.node.rate);
    report.add(nodeName + ", warm", "events/s per sub", c.nodeWarm.rate);
    report.ratio(name, nodeName, "of node");
    report.ratio(name + ", warm", nodeName + ", warm", "of node");
    report.add(name + " / node relay", "ratio", c.ratio, target);
    report.add(name + " / node relay, warm", "ratio", c.ratioWarm, target);
    const std::string cpu = "service CPU, " + subscribers,
                      nodeCpu = "baseline node relay CPU, " + subscribers;
    report.add(nodeCpu, "s/100k events", c.node.cpu);
    report.add(nodeCpu + ", warm", "s/100k events", c.nodeWarm.cpu);
    report.ratio(cpu, nodeCpu, "of node");
    report.ratio(cpu + ", warm", nodeCpu + ", warm", "of node");
    const std::string rss = "peak RSS, " + subscribers + ", " + events;
    report.add("baseline node relay " + rss, "MiB", c.node.rss);
    report.ratio("service " + rss, "baseline node relay " + rss, "of node");
}

} // namespace

void measureRelay(const Programs& programs, const Options& options, Report& report) {
    const int reps = options.repetitions;
    bool runs = false;
    {
        Service probe(programs);
        runs = probe.start() && probe.startRun();
    }
    if (!runs)
        report.remark(
            "relay: the service does not start runs yet; only the baselines were measured");
    struct Shape {
        std::size_t readers;
        std::uint64_t count;
        const char* target;
    };
    const std::uint64_t scale = options.quick ? 10 : 1;
    const Shape shapes[] = {{1, 200'000 / scale, ">= 1000000"},
                            {10, 50'000 / scale, ">= 500000"},
                            {100, 10'000 / scale, ""}};
    const bool node = !programs.node.empty();
    for (const Shape& shape : shapes) {
        // Warm (a second run on one server) and beside the Node.js relay: 1 and 10 subscribers.
        const bool warmToo = shape.readers <= 10, withNode = node && warmToo;
        Samples pipe, forwarder, service, serviceWarm, nodeFresh, nodeWarm;
        std::vector<double> ratio, ratioWarm;
        for (int rep = 0; rep < reps; ++rep) {
            if (shape.readers == 1)
                pipe.add(pipePass(programs, shape.count, 0, false), shape.count, 1);
            forwarder.add(forwarderPass(programs, shape.readers, shape.count, 0, false),
                          shape.count, shape.readers);
            // The pass's rate, 0 when it failed.
            auto serverPass = [&](Samples& samples, Server server, bool warm) {
                Pass pass =
                    servicePass(programs, server, warm, shape.readers, shape.count, 0, false);
                samples.add(pass, shape.count, shape.readers);
                return pass.ok ? pass.perReaderRate : 0.0;
            };
            auto paired = [](std::vector<double>& ratios, double rate, double nodeRate) {
                if (rate > 0 && nodeRate > 0) ratios.push_back(rate / nodeRate);
            };
            const double fresh = runs ? serverPass(service, Server::bridge, false) : 0;
            const double warm = runs && warmToo ? serverPass(serviceWarm, Server::bridge, true) : 0;
            if (withNode) paired(ratio, fresh, serverPass(nodeFresh, Server::node, false));
            if (withNode) paired(ratioWarm, warm, serverPass(nodeWarm, Server::node, true));
            std::fprintf(stderr, ".");
        }
        const std::string n = std::to_string(shape.readers);
        const std::string suffix = shape.readers == 1 ? "" : "s";
        const std::string name = "relay " + n + " subscriber" + suffix;
        if (shape.readers == 1) report.add("baseline pipe, 1 reader", "events/s", pipe.rate);
        report.add("baseline forwarder, " + n + " socket" + suffix, "events/s", forwarder.rate);
        report.add(name, "events/s per sub", service.rate, shape.target);
        report.ratio(name, "baseline pipe, 1 reader", "of pipe");
        report.ratio(name, "baseline forwarder, " + n + " socket" + suffix, "of forwarder");
        report.add("baseline forwarder CPU, " + n + " socket" + suffix, "s/100k events",
                   forwarder.cpu);
        const char* cpuTarget = shape.readers == 1 ? "<= 0.08" : "";
        report.add("service CPU, " + n + " subscriber" + suffix, "s/100k events", service.cpu,
                   cpuTarget);
        report.ratio("service CPU, " + n + " subscriber" + suffix,
                     "baseline forwarder CPU, " + n + " socket" + suffix, "of forwarder");
        report.add("service peak RSS, " + n + " subscriber" + suffix + ", " +
                       std::to_string(shape.count) + " events",
                   "MiB", service.rss, shape.readers == 1 ? "<= 20" : "");
        if (warmToo) {
            report.add(name + ", warm", "events/s per sub", serviceWarm.rate, shape.target);
            report.add("service CPU, " + n + " subscriber" + suffix + ", warm", "s/100k events",
                       serviceWarm.cpu, cpuTarget);
        }
        if (withNode)
            reportNode(report, n + " subscriber" + suffix, std::to_string(shape.count) + " events",
                       {nodeFresh, nodeWarm, ratio, ratioWarm}, shape.readers == 1 ? 5 : 10);
    }

    // Latency at a fixed rate, ten readers.
    const std::uint64_t rate = 1000, count = options.quick ? 300 : 3000;
    Samples pipe, forwarder, service, nodeRelay;
    for (int rep = 0; rep < std::max(3, reps - 2); ++rep) {
        pipe.add(pipePass(programs, count, rate, true), count, 1);
        forwarder.add(forwarderPass(programs, 10, count, rate, true), count, 10);
        if (runs)
            service.add(servicePass(programs, Server::bridge, false, 10, count, rate, true), count,
                        10);
        if (node)
            nodeRelay.add(servicePass(programs, Server::node, false, 10, count, rate, true), count,
                          10);
        std::fprintf(stderr, ".");
    }
    for (const char* which : {"p50", "p99", "max"}) {
        auto pick = [&](Samples& s) {
            return std::string(which) == "p50"   ? s.p50
                   : std::string(which) == "p99" ? s.p99
                                                 : s.max;
        };
        const std::string name = std::string("latency ") + which + ", 1000/s, 10 subscribers";
        report.add(std::string("baseline pipe latency ") + which, "us", pick(pipe));
        report.add(std::string("baseline forwarder latency ") + which + ", 10 sockets", "us",
                   pick(forwarder));
        report.add(name, "us", pick(service), std::string(which) == "p99" ? "<= 500" : "");
        report.ratio(name, std::string("baseline pipe latency ") + which, "of pipe");
        report.ratio(name, std::string("baseline forwarder latency ") + which + ", 10 sockets",
                     "of forwarder");
        if (!node) continue;
        const std::string nodeName =
            std::string("baseline node relay latency ") + which + ", 10 subscribers";
        report.add(nodeName, "us", pick(nodeRelay));
        report.ratio(name, nodeName, "of node");
    }
    if (!node) report.remark("relay: no node on PATH, the Node.js relay baseline was skipped");
}

} // namespace pavix::bench
