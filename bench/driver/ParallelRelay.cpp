// The relay with several runs at once: every run's agent floods its deltas to one
// subscriber while the other runs do the same, beside one run alone in the same pass.
#include "Relay.h"
#include "Sections.h"
#include "System.h"

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

    RunsPass pass;
    std::vector<std::int64_t> gated;
    const double cpuBefore = fds.size() == runs ? cpuSeconds(service.pid()) : 0;
    for (std::size_t i = 0; i < fds.size() && fds.size() == runs && openGate(gates[i]); ++i)
        gated.push_back(nowNs());
    if (gated.size() == runs) {
        readAll(fds, counters, Clock::now() + std::chrono::seconds(120), false, open);
        pass.cpu = cpuSeconds(service.pid()) - cpuBefore;
        pass.ok = true;
        for (std::size_t i = 0; i < runs; ++i) {
            Pass one = finishPass({counters[i]}, count, gated[i]);
            pass.ok = pass.ok && one.ok;
            pass.rates.push_back(one.perReaderRate);
        }
    }
    for (int fd : fds)
        ::close(fd);
    if (!pass.ok) std::fprintf(stderr, "service log:\n%s\n", service.log().c_str());
    return pass;
}

} // namespace

void measureParallelRelay(const Programs& programs, const Options& options, Report& report) {
    const std::uint64_t count = options.quick ? 20'000 : 200'000;
    const std::size_t several = 4;
    std::vector<double> alone, slowest, each, cpuAlone, cpuSeveral;
    for (int rep = 0; rep < options.repetitions; ++rep) {
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
    report.add(one, "events/s per run", alone);
    report.add(four + ", slowest run", "events/s per run", slowest, ">= 500000");
    report.add(four + ", every run", "events/s per run", each);
    report.ratio(four + ", slowest run", one, "of 1 run");
    report.add("service CPU, 1 run alone", "s/100k events", cpuAlone);
    report.add("service CPU, 4 runs at once", "s/100k events", cpuSeveral);
    report.ratio("service CPU, 4 runs at once", "service CPU, 1 run alone", "of 1 run");
}

} // namespace pavix::bench
