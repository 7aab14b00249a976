// The bubble plot of a meta-regression on one numeric moderator: each study's
// slope against its value, the circle's area by its weight, and the fitted
// line with its 95% band.
#ifndef MORVEX_ESTIMATION_SVG_BUBBLE_PLOT_HPP
#define MORVEX_ESTIMATION_SVG_BUBBLE_PLOT_HPP

#include "estimation/method/measure.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace morvex {

struct bubble_plot {
    std::string title;
    std::string moderator;
    std::vector<double> x, b, weight; // per study
    double intercept = 0.0, slope = 0.0;
    double c00 = 0.0, c01 = 0.0, c11 = 0.0; // covariance of intercept and slope
    double quantile = 0.0;                  // of the band: z, or t under Knapp-Hartung
    std::string caption;                    // the slope, its p and tau^2
    outcome_measure measure = outcome_measure::relative_risk; // what the slopes are of
    std::string per_dose = "per unit of dose";                // what a slope is per
};

// From a fitted meta-regression of one numeric moderator and the slopes pooled.
bubble_plot make_bubble_plot(const regression_analysis& a,
                             const std::vector<slope_estimate>& slopes, const std::string& title);

void write_bubble_plot(std::ostream& out, const bubble_plot& plot);

} // namespace morvex

#endif
