// What strangers' heads, many slow readers and one huge input line cost: /health behind
// huge header lines, the service's memory with thousands of readers of a finished run, and
// the `mcp` mode's peak after a 100 MB line.
#include "Net.h"
#include "Sections.h"
#include "System.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace pavix::bench {

namespace {

using Clock = std::chrono::steady_clock;

double mib(std::int64_t kib) {
    return double(kib) / 1024.0;
}

// Sends `bytes` on a new connection and reads until the service closes it; false when it
// could not connect.
bool exchange(std::uint16_t port, const std::string& bytes) {
    int fd = connectLoopback(port, std::chrono::seconds(30));
    if (fd < 0) return false;
    for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += std::size_t(n);
    }
    char sink[4096];
    while (::read(fd, sink, sizeof sink) > 0) {
    }
    ::close(fd);
    return true;
}

// Milliseconds each GET /health took, one after another for `duration`.
std::vector<double> healthTimes(std::uint16_t port, std::chrono::milliseconds duration) {
    std::vector<double> times;
    const std::string request = httpRequest("GET", "/health");
    for (const auto end = Clock::now() + duration; Clock::now() < end;) {
        const auto start = Clock::now();
        if (!exchange(port, request)) break;
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return times;
}

// 20 strangers (no key) sending heads with a 1.95 MB header line over and over, while
// /health is asked one request after another.
void measureHugeHeads(const Programs& programs, const Options& options, Report& report) {
    Service service(programs);
    if (!service.start()) return report.remark("budgets: the service did not start");
    const auto window = std::chrono::milliseconds(options.quick ? 2000 : 8000);
    std::vector<double> quiet = healthTimes(service.port(), std::chrono::milliseconds(1000));
    const std::string head =
        "GET /api/jobs HTTP/1.1\r\nX: " + std::string(1'950'000, 'h') + "\r\n\r\n";
    std::atomic<bool> stop = false;
    std::atomic<std::uint64_t> heads = 0;
    const double cpuBefore = cpuSeconds(service.pid());
    std::vector<std::thread> strangers;
    for (int i = 0; i < 20; ++i)
        strangers.emplace_back([&] {
            while (!stop && exchange(service.port(), head))
                ++heads;
        });
    std::vector<double> times = healthTimes(service.port(), window);
    stop = true;
    for (auto& stranger : strangers)
        stranger.join();
    report.add("GET /health alone, p99", "ms", {percentile(quiet, 0.99)});
    report.add("GET /health behind 20 strangers' 1.95 MB header lines, p99", "ms",
               {percentile(times, 0.99)});
    report.add("GET /health behind 20 strangers' 1.95 MB header lines, worst", "ms",
               {percentile(times, 1.0)}, "<= 500");
    report.add("strangers' 1.95 MB heads answered meanwhile", "heads/s",
               {double(heads) * 1000.0 / double(window.count())});
    report.add("service CPU per stranger's 1.95 MB head", "ms",
               {heads ? (cpuSeconds(service.pid()) - cpuBefore) * 1000.0 / double(heads) : 0});
}

// `count` event streams of `path` that read nothing after their request, as phones that
// stopped reading would: every stream waits on its write.
std::vector<int> stalledReaders(const Service& service, const std::string& path, int count) {
    std::vector<int> fds;
    const std::string request = httpRequest("GET", path, service.key());
    for (int i = 0; i < count; ++i) {
        int fd = connectLoopback(service.port(), std::chrono::seconds(30));
        if (fd < 0) break;
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        fds.push_back(fd);
    }
    return fds;
}

// The service's resident memory (MiB) before and while `count` stalled readers follow `run`.
std::pair<double, double> readersMemory(const Service& service, const std::string& run, int count) {
    const double before = mib(statusKiB(service.pid(), "VmRSS"));
    std::vector<int> readers = stalledReaders(service, "/v1/runs/" + run + "/events", count);
    std::this_thread::sleep_for(std::chrono::seconds(3)); // every stream up to its stall
    const double with = mib(statusKiB(service.pid(), "VmRSS"));
    for (int fd : readers)
        ::close(fd);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return {before, with};
}

// The service's memory with 2,000 stalled readers of a finished run of about 10 MB: alone
// (its events in memory), then once seven more such runs have moved its events to a file
// (past the 64 MiB that finished runs keep in memory).
void measureReaders(const Programs& programs, const Options& options, Report& report) {
    Service service(programs);
    if (!service.start()) return report.remark("budgets: the service did not start");
    service.setAgent("count=40000 size=256");
    const int count = options.quick ? 200 : 2000;
    const std::string n = std::to_string(count);
    std::vector<std::string> runs;
    for (int i = 0; i < 8; ++i) {
        auto run = service.startRun();
        if (!run) return report.remark("budgets: no run for the readers");
        auto events = service.client().collectEvents("/v1/runs/" + *run + "/events", SIZE_MAX,
                                                     std::chrono::seconds(60));
        if (events.empty() || events.back().find("run.completed") == std::string::npos)
            return report.remark("budgets: the readers' run did not complete");
        runs.push_back(*run);
        if (i > 0) continue;
        auto [before, with] = readersMemory(service, runs[0], count);
        report.add("RSS with " + n + " stalled readers of a finished 10 MB run", "MiB", {with},
                   count == 2000 ? "<= 200" : "");
        report.add("RSS per stalled reader, events in memory", "KiB",
                   {(with - before) * 1024.0 / double(count)});
    }
    auto [before, with] = readersMemory(service, runs[0], count);
    report.add("RSS after 8 such runs (64 MiB of them kept in memory)", "MiB", {before});
    report.add("RSS with " + n + " stalled readers of the first (from its file)", "MiB", {with});
    report.add("RSS per stalled reader, events from a file", "KiB",
               {(with - before) * 1024.0 / double(count)});
}

// Sends `size` bytes of one line (a ping padded inside a string), then a ping of its own,
// to `pavix-bridge mcp`; the mode's peak resident memory once the last ping is answered.
double mcpPeakAfterLine(const Programs& programs, std::size_t size) {
    TempFolder home;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return 0;
    SpawnOptions options{{programs.bridge, "mcp", "--port", "1", "--run", "run_bench"},
                         environmentWithout("HOME=")};
    options.environment.push_back("HOME=" + home.path().string());
    options.stdinFd = in[0];
    options.stdoutFd = out[1];
    pid_t pid = spawnProcess(options);
    ::close(in[0]);
    ::close(out[1]);
    std::thread writer([fd = in[1], size] {
        const std::string start = R"({"id":1,"method":"ping","_":")", chunk(1 << 20, 'x');
        std::string rest = start;
        for (std::size_t left = size - start.size() - 3; left > 0;) {
            std::size_t n = std::min(left, chunk.size());
            rest.append(chunk, 0, n);
            left -= n;
            if (::write(fd, rest.data(), rest.size()) != ssize_t(rest.size())) return;
            rest.clear();
        }
        rest = "\"}\n{\"id\":2,\"method\":\"ping\"}\n";
        (void)!::write(fd, rest.data(), rest.size());
    });
    std::string answers;
    char buffer[4096];
    for (ssize_t n; answers.find("\"id\":2") == std::string::npos &&
                    (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        answers.append(buffer, std::size_t(n));
    writer.join();
    const double peak = mib(statusKiB(pid, "VmHWM"));
    ::close(in[1]);
    ::close(out[0]);
    reap(pid, std::chrono::seconds(5));
    return peak;
}

} // namespace

void measureBudgets(const Programs& programs, const Options& options, Report& report) {
    measureHugeHeads(programs, options, report);
    std::fprintf(stderr, ".");
    measureReaders(programs, options, report);
    std::fprintf(stderr, ".");
    report.add("mcp mode peak RSS after a 100 MB line", "MiB",
               {mcpPeakAfterLine(programs, options.quick ? 10'000'000 : 100'000'000)}, "<= 64");
}

} // namespace pavix::bench
