// The forest plot: each study's slope with its interval, and the pooled summaries.
#ifndef MORVEX_ESTIMATION_SVG_FOREST_PLOT_HPP
#define MORVEX_ESTIMATION_SVG_FOREST_PLOT_HPP

#include "estimation/pooling/pooling.hpp"

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
};

struct forest_plot {
    std::string title;
    std::vector<forest_row> rows;      // one per study, drawn as squares
    std::vector<forest_row> summaries; // drawn as diamonds below the studies
    std::string weight_heading = "Weight (%)";
    // With an increment D every value v is shown as the relative risk exp(D v)
    // on a log axis with its reference line at 1; otherwise as a slope, reference at 0.
    std::optional<double> increment;
    std::string axis_label; // empty: a label that names the scale
};

// The studies with their REML weights and the three summaries of a pooling.
forest_plot make_forest_plot(const pooled_summary& s, std::optional<double> increment);

void write_forest_plot(std::ostream& out, const forest_plot& plot);

} // namespace morvex

#endif
