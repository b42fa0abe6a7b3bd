// The relay with several runs at once: every run's agent floods its deltas to one
// subscriber while the other runs do the same, beside one run alone in the same pass.
#include "Relay.h"
#include "Sections.h"
#include "System.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace pavix::bench {

namespace {

using Clock = std::chrono::steady_clock;

/// One pass of several runs: each run's rate, and the service's CPU for all of them.
struct RunsPass {
    bool ok = false;
    std::vector<double> rates;
    double cpu = 0;
};

// Starts a run in a conversation of its own, working in `folder`, and subscribes to it;
// the subscription's descriptor, or -1.
int startFollowed(Service& service, const std::string& folder, std::size_t index) {
    auto reply = service.client().post(
        "/v1/runs",
        {{"input", "bench"}, {"session_id", "bench-" + std::to_string(index)}, {"folder", folder}});
    auto answer = reply.json();
    if (reply.status != 202 || !answer.is_object() || !answer["run_id"].is_string()) {
        std::fprintf(stderr, "POST /v1/runs answered %d %s\n", reply.status, reply.body.c_str());
        return -1;
    }
    const std::string request = httpRequest(
        "GET", "/v1/runs/" + answer["run_id"].get<std::string>() + "/events", service.key());
    int fd = connectLoopback(service.port(), std::chrono::seconds(10));
    if (fd >= 0 && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        ::close(fd);
        return -1;
    }
    if (fd >= 0) setNonBlocking(fd);
    return fd;
}

// Lets each agent go through its own gate, then reads every stream to its end; each
// stream's rate counts from its own gate.
RunsPass letGo(const std::vector<int>& fds, std::vector<DeltaCounter>& counters,
               std::vector<bool>& open, const std::vector<std::string>& gates,
               std::uint64_t count) {
    RunsPass pass;
    std::vector<std::int64_t> gated;
    for (std::size_t i = 0; fds.size() == gates.size() && i < gates.size() && openGate(gates[i]);
         ++i)
        gated.push_back(nowNs());
    if (gates.empty() || gated.size() != gates.size()) return pass;
    readAll(fds, counters, Clock::now() + std::chrono::seconds(120), false, open);
    pass.ok = true;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        Pass one = finishPass({counters[i]}, count, gated[i]);
        pass.ok = pass.ok && one.ok;
        pass.rates.push_back(one.perReaderRate);
    }
    return pass;
}

// `runs` runs at once in a fresh service, one subscriber each. Each agent waits on the FIFO
// "gate" of its own working folder (a relative path opens there), so each is let go apart.
RunsPass runsPass(const Programs& programs, std::size_t runs, std::uint64_t count) {
    Service service(programs);
    if (!service.start(unsigned(runs))) return {};
    service.setAgent(agentWords(count, 0, "gate"));
    std::vector<int> fds;
    std::vector<std::string> gates;
    for (std::size_t i = 0; i < runs; ++i) {
        const std::string folder = service.folder() + "/project-" + std::to_string(i);
        ::mkdir(folder.c_str(), 0700);
        gates.push_back(folder + "/gate");
        ::mkfifo(gates.back().c_str(), 0600);
        int fd = startFollowed(service, folder, i);
        if (fd < 0) break;
        fds.push_back(fd);
    }
    std::vector<DeltaCounter> counters(fds.size(),
                                       DeltaCounter(DeltaCounter::Kind::eventStream, false));
    std::vector<bool> open(fds.size(), true);
    readAll(fds, counters, Clock::now() + std::chrono::seconds(10), true, open);
    const double cpuBefore = cpuSeconds(service.pid());
    RunsPass pass = letGo(fds, counters, open, gates, count);
    pass.cpu = cpuSeconds(service.pid()) - cpuBefore;
    for (int fd : fds)
        ::close(fd);
    if (!pass.ok) std::fprintf(stderr, "service log:\n%s\n", service.log().c_str());
    return pass;
}

// The floor: `runs` agents at once, each read straight from its own pipe.
RunsPass pipesPass(const Programs& programs, std::size_t runs, std::uint64_t count) {
    TempFolder folder;
    std::vector<int> fds;
    std::vector<pid_t> agents;
    std::vector<std::string> gates;
    for (std::size_t i = 0; i < runs; ++i) {
        int input[2], output[2];
        if (::pipe2(input, O_CLOEXEC) != 0) break;
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            break;
        }
        gates.push_back((folder.path() / ("gate-" + std::to_string(i))).string());
        ::mkfifo(gates.back().c_str(), 0600);
        SpawnOptions options{{programs.agent}, environmentWithout("PAVIX_BENCH_AGENT=")};
        options.environment.push_back("PAVIX_BENCH_AGENT=" + agentWords(count, 0, gates.back()));
        options.stdinFd = input[0];
        options.stdoutFd = output[1];
        agents.push_back(spawnProcess(options));
        ::close(input[0]);
        ::close(output[1]);
        (void)!::write(input[1], "{}\n", 3);
        ::close(input[1]);
        fds.push_back(output[0]);
    }
    std::vector<DeltaCounter> counters(fds.size(),
                                       DeltaCounter(DeltaCounter::Kind::agentLines, false));
    std::vector<bool> open(fds.size(), true);
    RunsPass pass = letGo(fds, counters, open, gates, count);
    for (int fd : fds)
        ::close(fd);
    for (pid_t agent : agents)
        if (agent > 0) reap(agent, std::chrono::seconds(5));
    return pass;
}

} // namespace

void measureParallelRelay(const Programs& programs, const Options& options, Report& report) {
    const std::uint64_t count = options.quick ? 20'000 : 200'000;
    const std::size_t several = 4;
    std::vector<double> alone, slowest, each, cpuAlone, cpuSeveral, pipes;
    for (int rep = 0; rep < options.repetitions; ++rep) {
        if (RunsPass floor = pipesPass(programs, several, count); floor.ok)
            pipes.push_back(*std::min_element(floor.rates.begin(), floor.rates.end()));
        if (RunsPass one = runsPass(programs, 1, count); one.ok) {
            alone.push_back(one.rates[0]);
            cpuAlone.push_back(one.cpu * 100'000.0 / double(count));
        }
        if (RunsPass four = runsPass(programs, several, count); four.ok) {
            slowest.push_back(*std::min_element(four.rates.begin(), four.rates.end()));
            each.insert(each.end(), four.rates.begin(), four.rates.end());
            cpuSeveral.push_back(four.cpu * 100'000.0 / double(count * several));
        }
        std::fprintf(stderr, ".");
    }
    const std::string one = "relay 1 run alone, 1 subscriber";
    const std::string four = "relay 4 runs at once, 1 subscriber each";
    report.add("baseline pipes, 4 agents at once, slowest", "events/s per agent", pipes);
    report.add(one, "events/s per run", alone);
    report.add(four + ", slowest run", "events/s per run", slowest, ">= 500000");
    report.add(four + ", every run", "events/s per run", each);
    report.ratio(four + ", slowest run", one, "of 1 run");
    report.ratio(four + ", slowest run", "baseline pipes, 4 agents at once, slowest", "of pipes");
    report.add("service CPU, 1 run alone", "s/100k events", cpuAlone);
    report.add("service CPU, 4 runs at once", "s/100k events", cpuSeveral);
    report.ratio("service CPU, 4 runs at once", "service CPU, 1 run alone", "of 1 run");
}

} // namespace pavix::bench
