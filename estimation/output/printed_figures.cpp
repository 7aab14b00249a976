#include "estimation/output/printed_figures.hpp"

#include "estimation/base/format.hpp"

#include <cmath>

namespace morvex {

std::string printed_p(double p) {
    if (!(p >= 0.0)) {
        return "p = n/a";
    }
    if (p < 0.001) {
        return "p < 0.001";
    }
    if (p >= 0.995) {
        return "p > 0.99";
    }
    // Two significant digits have three decimals up to 0.1 (0.0995 rounds to
    // 0.10) and two above; below 0.01 they would need four or more, so three.
    return "p = " + fixed_decimals(p, p < 0.0995 ? 3 : 2);
}

printed_interval printed_rr(double rr, double lower, double upper) {
    printed_interval shown;
    for (int decimals = 2; decimals <= 4; ++decimals) {
        shown = {fixed_decimals(rr, decimals), fixed_decimals(lower, decimals),
                 fixed_decimals(upper, decimals)};
        if (lower == upper || (shown.lower != shown.estimate && shown.estimate != shown.upper)) {
            break;
        }
    }
    return shown;
}

std::string printed_percent(double percent) {
    return fixed_decimals(percent, 0) + "%";
}

std::string printed_statistic(double value) {
    return fixed_decimals(value, 2);
}

std::string printed_figure(double value) {
    if (std::fabs(value) >= 999.5) {
        return fixed_decimals(value, 0);
    }
    return significant(value, 3);
}

} // namespace morvex
