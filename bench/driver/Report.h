#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pavix::bench {

/// One measured figure: every repetition's value, summarised as median, min and max.
struct Figure {
    std::string name;
    std::string unit;
    std::vector<double> samples;
    std::string target; ///< e.g. ">= 100000"; empty when the figure has none
    std::string note;   ///< ratios and remarks printed beside it

    double median() const;
    double min() const;
    double max() const;
    /// Whether the median meets `target`; nothing when there is no target.
    std::optional<bool> meetsTarget() const;
};

/// Everything one driver run measured, in the order it was measured.
class Report {
public:
    Figure& add(std::string name, std::string unit, std::vector<double> samples,
                std::string target = {});
    /// The figure of that name, or nothing.
    const Figure* find(const std::string& name) const;
    /// Adds "name/ratioTo = x" to the figure's note when both are present.
    void ratio(const std::string& name, const std::string& baseline, const std::string& label);
    void remark(std::string text) { remarks_.push_back(std::move(text)); }

    void printTable() const;
    void writeJSON(const std::filesystem::path& path) const;

private:
    std::vector<Figure> figures_;
    std::vector<std::string> remarks_;
};

/// The median of `values` (the mean of the two middle ones for an even count); 0 when empty.
double median(std::vector<double> values);
/// The value below which `fraction` of `values` lie (nearest rank); 0 when empty.
double percentile(std::vector<double>& values, double fraction);

} // namespace pavix::bench
