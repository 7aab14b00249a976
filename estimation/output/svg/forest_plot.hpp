// The forest plot: each study's slope with its interval, and the pooled summaries.
#ifndef MORVEX_ESTIMATION_SVG_FOREST_PLOT_HPP
#define MORVEX_ESTIMATION_SVG_FOREST_PLOT_HPP

#include "estimation/method/measure.hpp"
#include "estimation/pooling/pooling.hpp"

#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace morvex {

// One line of a forest plot, in slope units (log relative risk per unit of dose).
struct forest_row {
    std::string label;
    double estimate = 0.0;
    double lower = 0.0;
    double upper = 0.0;
    double weight_percent = 0.0; // sets the area of the square; not shown for summaries
    // A summary's 95% prediction interval, drawn as a line through its diamond; NaN for none.
    double prediction_lower = std::numeric_limits<double>::quiet_NaN();
    double prediction_upper = std::numeric_limits<double>::quiet_NaN();
};

// Studies drawn together under a heading, with their own summaries: a subgroup.
struct forest_block {
    std::string heading;
    std::vector<forest_row> rows;
    std::vector<forest_row> summaries;
    std::string note; // a line under them, e.g. their heterogeneity
};

struct forest_plot {
    std::string title;
    std::vector<forest_row> rows;      // one per study, drawn as squares
    std::vector<forest_row> summaries; // drawn as diamonds below the studies
    std::vector<forest_block> blocks;  // subgroups, drawn after `rows`, before `summaries`
    std::vector<std::string> notes;    // lines under the summaries: heterogeneity, tests
    std::string weight_heading = "Weight (%)";
    // With an increment D every value v is shown as the relative risk exp(D v)
    // on a log axis with its reference line at 1 (for a measure of means as
    // the difference D v); otherwise as a slope, reference at 0.
    std::optional<double> increment;
    std::string axis_label; // empty: a label that names the scale
    outcome_measure measure = outcome_measure::relative_risk;
};

// The studies with their REML weights and the three summaries of a pooling.
forest_plot make_forest_plot(const pooled_summary& s, std::optional<double> increment,
                             outcome_measure measure = outcome_measure::relative_risk);

// Above this many study rows a plot would be taller (22 px a row) than picture
// viewers open, so callers draw the summaries alone.
constexpr std::size_t forest_row_limit = 1000;

void write_forest_plot(std::ostream& out, const forest_plot& plot);

// At most `max_chars` characters of valid UTF-8 text: a longer one keeps its
// start and its end (a study's year) around an ellipsis.
std::string shorten_middle(const std::string& text, std::size_t max_chars);

// The number of decimals that shows every interval of `values` (lower, upper
// pairs) with distinct ends: at least 2, more for narrow intervals, at most 10.
int interval_decimals(const std::vector<std::pair<double, double>>& values);

} // namespace morvex

#endif
