// Doses as tables publish them: ranges and open categories ("10-19", "<5",
// ">=30", "30+"), turned into assigned doses.
#ifndef MORVEX_ESTIMATION_DOSE_RANGE_HPP
#define MORVEX_ESTIMATION_DOSE_RANGE_HPP

#include "estimation/method/study.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

struct dose_range {
    enum class form { closed, below, above } shape = form::closed;
    double lo = 0.0; // the lower bound (closed, above)
    double hi = 0.0; // the upper bound (closed, below)
};

// Whether the text is written as a range or an open category at all.
bool looks_like_range(std::string_view text);

// The range the text writes: "a-b", "a–b" or "a to b" with 0 <= a < b;
// "<b", "<=b", "≤b" with b > 0; ">a", ">=a", "≥a" or "a+" with a >= 0.
// Empty when the text is no such range.
std::optional<dose_range> parse_dose_range(std::string_view text);

// A dose written as a range, on its line, with the text it had.
struct ranged_dose {
    int line = 0;
    std::string text;
    dose_range range;
};

// The dose of each: a closed range's midpoint; half the upper bound of "<b"
// (exposures are not negative); for ">=a" the bound plus half the width of the
// closed range just below it, times `open_width`. Throws table_error when an
// open category has no closed range below it.
std::vector<dose_assignment> assign_doses(const std::vector<ranged_dose>& doses, double open_width);

} // namespace morvex

#endif
