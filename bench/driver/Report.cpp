#include "Report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sys/utsname.h>
#include <unistd.h>

namespace pavix::bench {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double percentile(std::vector<double>& values, double fraction) {
    if (values.empty()) return 0;
    std::size_t rank = std::size_t(std::ceil(fraction * double(values.size())));
    rank = std::clamp<std::size_t>(rank, 1, values.size());
    std::nth_element(values.begin(), values.begin() + long(rank - 1), values.end());
    return values[rank - 1];
}

double Figure::median() const {
    return bench::median(samples);
}
double Figure::min() const {
    return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end());
}
double Figure::max() const {
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

std::optional<bool> Figure::meetsTarget() const {
    if (target.size() < 3 || samples.empty()) return std::nullopt;
    double bound = std::strtod(target.c_str() + 2, nullptr);
    if (target.rfind(">=", 0) == 0) return median() >= bound;
    if (target.rfind("<=", 0) == 0) return median() <= bound;
    return std::nullopt;
}

Figure& Report::add(std::string name, std::string unit, std::vector<double> samples,
                    std::string target) {
    figures_.push_back(
        Figure{std::move(name), std::move(unit), std::move(samples), std::move(target), {}});
    return figures_.back();
}

const Figure* Report::find(const std::string& name) const {
    for (const auto& figure : figures_)
        if (figure.name == name) return &figure;
    return nullptr;
}

void Report::ratio(const std::string& name, const std::string& baseline, const std::string& label) {
    const Figure* base = find(baseline);
    for (auto& figure : figures_) {
        if (figure.name != name || !base || base->median() == 0 || figure.samples.empty()) continue;
        char text[64];
        std::snprintf(text, sizeof text, "%s%.2fx %s", figure.note.empty() ? "" : ", ",
                      figure.median() / base->median(), label.c_str());
        figure.note += text;
    }
}

namespace {

std::string number(double value) {
    char text[32];
    double magnitude = std::fabs(value);
    if (magnitude >= 1000 || value == std::floor(value))
        std::snprintf(text, sizeof text, "%.0f", value);
    else if (magnitude >= 10)
        std::snprintf(text, sizeof text, "%.1f", value);
    else if (magnitude >= 0.1)
        std::snprintf(text, sizeof text, "%.2f", value);
    else
        std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

} // namespace

void Report::printTable() const {
    std::size_t nameWidth = 6, unitWidth = 4;
    for (const auto& figure : figures_) {
        nameWidth = std::max(nameWidth, figure.name.size());
        unitWidth = std::max(unitWidth, figure.unit.size());
    }
    std::printf("\n%-*s  %-*s  %12s  %12s  %12s  %-12s  %s\n", int(nameWidth), "figure",
                int(unitWidth), "unit", "median", "min", "max", "target", "vs. baselines");
    for (const auto& figure : figures_) {
        std::string target = figure.target;
        if (auto met = figure.meetsTarget()) target += *met ? " ok" : " MISS";
        const bool none = figure.samples.empty();
        std::printf(
            "%-*s  %-*s  %12s  %12s  %12s  %-12s  %s\n", int(nameWidth), figure.name.c_str(),
            int(unitWidth), figure.unit.c_str(), none ? "-" : number(figure.median()).c_str(),
            none ? "-" : number(figure.min()).c_str(), none ? "-" : number(figure.max()).c_str(),
            target.c_str(), none ? "not measured" : figure.note.c_str());
    }
    for (const auto& remark : remarks_)
        std::printf("note: %s\n", remark.c_str());
}

void Report::writeJSON(const std::filesystem::path& path) const {
    nlohmann::json figures = nlohmann::json::array();
    for (const auto& figure : figures_) {
        nlohmann::json entry = {
            {"name", figure.name}, {"unit", figure.unit}, {"samples", figure.samples}};
        entry["median"] =
            figure.samples.empty() ? nlohmann::json() : nlohmann::json(figure.median());
        entry["min"] = figure.samples.empty() ? nlohmann::json() : nlohmann::json(figure.min());
        entry["max"] = figure.samples.empty() ? nlohmann::json() : nlohmann::json(figure.max());
        if (!figure.target.empty()) entry["target"] = figure.target;
        if (auto met = figure.meetsTarget()) entry["meets_target"] = *met;
        if (!figure.note.empty()) entry["note"] = figure.note;
        figures.push_back(std::move(entry));
    }
    utsname system{};
    uname(&system);
    char when[32];
    std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    nlohmann::json document = {{"time", when},
                               {"machine", std::string(system.machine) + " " + system.release},
                               {"cpus", sysconf(_SC_NPROCESSORS_ONLN)},
                               {"figures", figures},
                               {"notes", remarks_}};
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << document.dump(2) << "\n";
}

} // namespace pavix::bench
