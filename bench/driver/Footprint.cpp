#include "Net.h"
#include "Sections.h"
#include "System.h"

#include <cstdio>
#include <thread>

namespace pavix::bench {

namespace {

// One complete run: start it and follow its events to the end. False when it did not
// complete (a refusal is retried briefly: the previous run may still be finishing).
bool completeRun(Service& service) {
    std::optional<std::string> run;
    for (int attempt = 0; attempt < 200 && !run; ++attempt) {
        run = service.startRun();
        if (!run) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!run) return false;
    auto events = service.client().collectEvents("/v1/runs/" + *run + "/events", SIZE_MAX,
                                                 std::chrono::seconds(20));
    return !events.empty() && events.back().find("\"run.completed\"") != std::string::npos;
}

double mib(std::int64_t kib) {
    return double(kib) / 1024.0;
}

// Memory and CPU after start, and what the service does while idle.
void measureIdle(const Programs& programs, Service& service, std::chrono::seconds idle,
                 Report& report) {
    const pid_t pid = service.pid();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    report.add("idle RSS after start", "MiB", {mib(statusKiB(pid, "VmRSS"))}, "<= 5");
    if (!programs.node.empty()) {
        Service relay(programs, Server::node);
        if (relay.start()) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            report.add("baseline node relay idle RSS", "MiB",
                       {mib(statusKiB(relay.pid(), "VmRSS"))});
            report.ratio("idle RSS after start", "baseline node relay idle RSS", "of node");
        }
    }
    report.add("CPU used by start-up", "s", {cpuSeconds(pid)});
    const std::int64_t switchesBefore = contextSwitches(pid);
    const double cpuBefore = cpuSeconds(pid);
    std::this_thread::sleep_for(idle);
    report.add("idle wake-ups in " + std::to_string(idle.count()) + " s", "switches",
               {double(contextSwitches(pid) - switchesBefore)}, "<= 0");
    report.add("idle CPU in " + std::to_string(idle.count()) + " s", "s",
               {cpuSeconds(pid) - cpuBefore});
}

// Memory and CPU over many completed runs; whether any completed.
bool measureRuns(Service& service, const Options& options, Report& report) {
    const pid_t pid = service.pid();
    service.setAgent("count=10 size=32");
    const int total = options.quick ? 100 : 1000;
    int completed = 0;
    double rssAfter20 = 0;
    const double cpuBeforeRuns = cpuSeconds(pid);
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::chrono::seconds(180);
    for (int i = 0; i < total && std::chrono::steady_clock::now() < deadline; ++i) {
        if (!completeRun(service)) break;
        ++completed;
        if (completed == 21) rssAfter20 = mib(statusKiB(pid, "VmRSS"));
        if (completed % 100 == 0) std::fprintf(stderr, ".");
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Let the last agent exit and its run settle before looking: the reply's save, written
    // on the store's own thread, may take a while to reach the disk.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::string n = std::to_string(completed);
    if (completed < total)
        report.remark("footprint: only " + n + " of " + std::to_string(total) +
                      " runs completed; service log:\n" + service.log());
    if (completed == 0) return false;
    if (completed > 20) report.add("RSS after 21 runs (20 kept)", "MiB", {rssAfter20});
    report.add("RSS after " + n + " runs", "MiB", {mib(statusKiB(pid, "VmRSS"))});
    report.ratio("RSS after " + n + " runs", "RSS after 21 runs (20 kept)", "of 21 runs");
    report.add("service CPU in total after " + n + " runs", "s", {cpuSeconds(pid)});
    report.add("CPU per completed run", "ms",
               {(cpuSeconds(pid) - cpuBeforeRuns) * 1000.0 / completed});
    report.add("sequential runs", "runs/s", {completed / seconds});

    return true;
}

} // namespace

void measureFootprint(const Programs& programs, const Options& options, Report& report) {
    Service service(programs);
    if (!service.start()) {
        report.remark("footprint: the service did not start");
        return;
    }
    const auto idle = std::chrono::seconds(options.quick ? 2 : 10);
    measureIdle(programs, service, idle, report);
    if (!measureRuns(service, options, report)) return;
    const pid_t pid = service.pid();
    const std::int64_t switchesAfterRuns = contextSwitches(pid);
    std::this_thread::sleep_for(idle);
    report.add("idle wake-ups in " + std::to_string(idle.count()) + " s after the runs", "switches",
               {double(contextSwitches(pid) - switchesAfterRuns)}, "<= 0");
}

} // namespace pavix::bench
