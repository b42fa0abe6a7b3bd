// Runs every benchmark, prints the table of figures and writes them as JSON.
// Usage: bench_driver [--quick] [--reps N] [--only
// relay,parallel,api,footprint,store,history,budgets,micro]
//                     [--json PATH]

#include "Report.h"
#include "Sections.h"
#include "System.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

using namespace pavix::bench;

namespace {

// The Node.js relay baseline runs only where node is on PATH: CI and many machines have none.
std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0)
            return folder + "/" + name;
    return {};
}

// Reads the arguments into `options`, `only` and `json`; false when they are not understood.
bool parseArguments(int argc, char** argv, Options& options, std::set<std::string>& only,
                    std::string& json) {
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--quick") {
            options.quick = true;
            options.repetitions = 3;
        } else if (argument == "--reps" && i + 1 < argc) {
            options.repetitions = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--only" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string name; std::getline(list, name, ',');)
                only.insert(name);
        } else if (argument == "--json" && i + 1 < argc) {
            json = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

double loadAverage() {
    double load[1] = {0};
    getloadavg(load, 1);
    return load[0];
}

struct Section {
    const char* name;
    void (*measure)(const Programs&, const Options&, Report&);
};
const Section sections[] = {
    {"relay", measureRelay},
    {"parallel", measureParallelRelay},
    {"api", measureApi},
    {"footprint", measureFootprint},
    {"store", [](const Programs&, const Options& o, Report& r) { measureStore(o, r); }},
    {"history", measureHistory},
    {"budgets", measureBudgets},
    {"micro", measureMicro},
};

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    killChildrenOnSignals();
    Options options;
    std::set<std::string> only;
    std::string json = BENCH_RESULTS_PATH;
    if (!parseArguments(argc, argv, options, only, json)) {
        std::fprintf(stderr,
                     "usage: bench_driver [--quick] [--reps N] [--only "
                     "relay,parallel,api,footprint,store,history,budgets,micro] [--json PATH]\n");
        return 2;
    }
    const Programs programs{PAVIX_BRIDGE_PATH,      BENCH_AGENT_PATH, BENCH_FORWARDER_PATH,
                            BENCH_BARE_SERVER_PATH, BENCH_MICRO_PATH, findOnPath("node"),
                            BENCH_NODE_RELAY_PATH};
    auto wanted = [&](const char* name) { return only.empty() || only.count(name); };

    Report report;
    // Other work on the machine skews every figure; the load says how much there was.
    const double loadBefore = loadAverage();
    for (const Section& section : sections) {
        if (!wanted(section.name)) continue;
        std::fprintf(stderr, "%s ", section.name);
        section.measure(programs, options, report);
        std::fprintf(stderr, "\n");
    }
    char load[96];
    std::snprintf(load, sizeof load, "1-minute load average %.2f before, %.2f after (%ld CPUs)",
                  loadBefore, loadAverage(), sysconf(_SC_NPROCESSORS_ONLN));
    report.remark(load);
    report.printTable();
    report.writeJSON(json);
    std::printf("\nfigures written to %s\n", json.c_str());
    return 0;
}
