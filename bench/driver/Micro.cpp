#include "Sections.h"
#include "System.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>

namespace pavix::bench {

void measureMicro(const Programs& programs, const Options& options, Report& report) {
    TempFolder folder;
    const std::string output = (folder.path() / "micro.json").string();
    SpawnOptions spawn;
    spawn.arguments = {programs.micro, "--benchmark_format=json", "--benchmark_out=" + output,
                       "--benchmark_repetitions=" + std::to_string(options.repetitions),
                       std::string("--benchmark_min_time=") + (options.quick ? "0.01" : "0.1")};
    spawn.environment = environmentWithout("PAVIX_");
    pid_t pid = spawnProcess(spawn);
    reap(pid, std::chrono::minutes(3));

    std::FILE* file = std::fopen(output.c_str(), "r");
    if (!file) {
        report.remark("micro-benchmarks: no output");
        return;
    }
    auto document = nlohmann::json::parse(file, nullptr, false);
    std::fclose(file);
    std::map<std::string, std::vector<double>> times; // in nanoseconds
    std::vector<std::string> order;
    if (document.is_object() && document["benchmarks"].is_array()) {
        for (const auto& entry : document["benchmarks"]) {
            if (entry.value("run_type", "") != "iteration") continue;
            const std::string name = entry.value("run_name", entry.value("name", "?"));
            const std::string unit = entry.value("time_unit", "ns");
            double scale = unit == "us" ? 1e3 : unit == "ms" ? 1e6 : unit == "s" ? 1e9 : 1.0;
            if (!times.count(name)) order.push_back(name);
            // CPU time, which other work on the machine disturbs less than the wall clock;
            // benchmarks that count items report per item, the others per iteration.
            const double perItem = entry.value("items_per_second", 0.0);
            times[name].push_back(perItem > 0 ? 1e9 / perItem
                                              : entry.value("cpu_time", 0.0) * scale);
        }
    }
    for (const auto& name : order)
        report.add("micro " + name, "ns CPU/op", times[name]);
}

} // namespace pavix::bench
