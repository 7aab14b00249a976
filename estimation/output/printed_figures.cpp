#include "estimation/output/printed_figures.hpp"

#include "estimation/base/format.hpp"

#include <cmath>

namespace morvex {

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
