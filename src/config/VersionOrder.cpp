#include "config/VersionOrder.h"

namespace pavix {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The digit run starting at `at`, without its leading zeros; `at` moves past the run.
std::string_view digitRun(std::string_view text, std::size_t& at) {
    std::size_t start = at;
    while (at < text.size() && isDigit(text[at]))
        ++at;
    std::string_view run = text.substr(start, at - start);
    std::size_t significant = run.find_first_not_of('0');
    return significant == std::string_view::npos ? std::string_view{} : run.substr(significant);
}

} // namespace

int compareVersionNames(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::string_view x = digitRun(a, i), y = digitRun(b, j);
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (int order = x.compare(y); order != 0) return order < 0 ? -1 : 1;
            continue;
        }
        auto x = static_cast<unsigned char>(a[i++]), y = static_cast<unsigned char>(b[j++]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

} // namespace pavix
