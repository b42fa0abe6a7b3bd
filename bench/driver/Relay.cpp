#include "Relay.h"
#include "Sections.h"

#include <algorithm>
#include <cstdio>

namespace pavix::bench {

namespace {

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

struct Shape {
    std::size_t readers;
    std::uint64_t count;
    const char* target;
};

// The samples of one shape's passes: the floors', the service's fresh and warm, and the
// Node.js relay's beside the service's.
struct ShapeSamples {
    Samples pipe, forwarder, service, serviceWarm, nodeFresh, nodeWarm;
    std::vector<double> ratio, ratioWarm;
};

// Warm (a second run on one server) and beside the Node.js relay: 1 and 10 subscribers.
bool warmToo(const Shape& shape) {
    return shape.readers <= 10;
}

ShapeSamples measureShape(const Programs& programs, const Shape& shape, bool runs, int reps) {
    const bool withNode = !programs.node.empty() && warmToo(shape);
    ShapeSamples s;
    // The pass's rate, 0 when it failed.
    auto serverPass = [&](Samples& samples, Server server, bool warm) {
        Pass pass = servicePass(programs, server, warm, shape.readers, shape.count, 0, false);
        samples.add(pass, shape.count, shape.readers);
        return pass.ok ? pass.perReaderRate : 0.0;
    };
    auto paired = [](std::vector<double>& ratios, double rate, double nodeRate) {
        if (rate > 0 && nodeRate > 0) ratios.push_back(rate / nodeRate);
    };
    for (int rep = 0; rep < reps; ++rep) {
        if (shape.readers == 1)
            s.pipe.add(pipePass(programs, shape.count, 0, false), shape.count, 1);
        s.forwarder.add(forwarderPass(programs, shape.readers, shape.count, 0, false), shape.count,
                        shape.readers);
        const double fresh = runs ? serverPass(s.service, Server::bridge, false) : 0;
        const double warm =
            runs && warmToo(shape) ? serverPass(s.serviceWarm, Server::bridge, true) : 0;
        if (withNode) paired(s.ratio, fresh, serverPass(s.nodeFresh, Server::node, false));
        if (withNode) paired(s.ratioWarm, warm, serverPass(s.nodeWarm, Server::node, true));
        std::fprintf(stderr, ".");
    }
    return s;
}

void reportShape(Report& report, const Shape& shape, const ShapeSamples& s, bool node) {
    const std::string n = std::to_string(shape.readers);
    const std::string suffix = shape.readers == 1 ? "" : "s";
    const std::string name = "relay " + n + " subscriber" + suffix;
    const std::string sockets = n + " socket" + suffix,
                      cpu = "service CPU, " + n + " subscriber" + suffix;
    if (shape.readers == 1) report.add("baseline pipe, 1 reader", "events/s", s.pipe.rate);
    report.add("baseline forwarder, " + sockets, "events/s", s.forwarder.rate);
    report.add(name, "events/s per sub", s.service.rate, shape.target);
    report.ratio(name, "baseline pipe, 1 reader", "of pipe");
    report.ratio(name, "baseline forwarder, " + sockets, "of forwarder");
    report.add("baseline forwarder CPU, " + sockets, "s/100k events", s.forwarder.cpu);
    const char* cpuTarget = shape.readers == 1 ? "<= 0.08" : "";
    report.add(cpu, "s/100k events", s.service.cpu, cpuTarget);
    report.ratio(cpu, "baseline forwarder CPU, " + sockets, "of forwarder");
    report.add("service peak RSS, " + n + " subscriber" + suffix + ", " +
                   std::to_string(shape.count) + " events",
               "MiB", s.service.rss, shape.readers == 1 ? "<= 20" : "");
    if (warmToo(shape)) {
        report.add(name + ", warm", "events/s per sub", s.serviceWarm.rate, shape.target);
        report.add(cpu + ", warm", "s/100k events", s.serviceWarm.cpu, cpuTarget);
    }
    if (node && warmToo(shape))
        reportNode(report, n + " subscriber" + suffix, std::to_string(shape.count) + " events",
                   {s.nodeFresh, s.nodeWarm, s.ratio, s.ratioWarm}, shape.readers == 1 ? 5 : 10);
}

// Latency at a fixed rate, ten readers.
void measureLatency(const Programs& programs, const Options& options, bool runs, Report& report) {
    const bool node = !programs.node.empty();
    const std::uint64_t rate = 1000, count = options.quick ? 300 : 3000;
    Samples pipe, forwarder, service, nodeRelay;
    for (int rep = 0; rep < std::max(3, options.repetitions - 2); ++rep) {
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
    for (const std::string which : {"p50", "p99", "max"}) {
        auto pick = [&](Samples& s) {
            return which == "p50" ? s.p50 : which == "p99" ? s.p99 : s.max;
        };
        const std::string name = "latency " + which + ", 1000/s, 10 subscribers";
        const std::string forwarderName = "baseline forwarder latency " + which + ", 10 sockets";
        report.add("baseline pipe latency " + which, "us", pick(pipe));
        report.add(forwarderName, "us", pick(forwarder));
        report.add(name, "us", pick(service), which == "p99" ? "<= 500" : "");
        report.ratio(name, "baseline pipe latency " + which, "of pipe");
        report.ratio(name, forwarderName, "of forwarder");
        if (!node) continue;
        const std::string nodeName = "baseline node relay latency " + which + ", 10 subscribers";
        report.add(nodeName, "us", pick(nodeRelay));
        report.ratio(name, nodeName, "of node");
    }
}

} // namespace

void measureRelay(const Programs& programs, const Options& options, Report& report) {
    bool runs = false;
    {
        Service probe(programs);
        runs = probe.start() && probe.startRun();
    }
    if (!runs)
        report.remark(
            "relay: the service does not start runs yet; only the baselines were measured");
    const std::uint64_t scale = options.quick ? 10 : 1;
    const Shape shapes[] = {{1, 200'000 / scale, ">= 1000000"},
                            {10, 50'000 / scale, ">= 500000"},
                            {100, 10'000 / scale, ""}};
    for (const Shape& shape : shapes)
        reportShape(report, shape, measureShape(programs, shape, runs, options.repetitions),
                    !programs.node.empty());
    measureLatency(programs, options, runs, report);
    if (programs.node.empty())
        report.remark("relay: no node on PATH, the Node.js relay baseline was skipped");
}

} // namespace pavix::bench
