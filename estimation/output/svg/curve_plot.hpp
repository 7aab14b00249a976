// The pooled dose-response curve: the curve of the chosen model with its 95%
// band on a log relative-risk axis, the linear trend dashed, the knots, a rug
// of the study doses, the studies' reported relative risks and the p-value for
// non-linearity.
#ifndef MORVEX_ESTIMATION_SVG_CURVE_PLOT_HPP
#define MORVEX_ESTIMATION_SVG_CURVE_PLOT_HPP

#include "estimation/pooling/curve_analysis.hpp"
#include "estimation/pooling/curve_subgroups.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace morvex {

struct curve_point {
    double dose = 0.0;
    double rr = 1.0; // a study's reported RR (or MD) against its own reference, as shown
};

// One subgroup's pooled curve, drawn in its own colour.
struct curve_group {
    std::string name;
    std::vector<prediction> curve;
};

struct curve_plot {
    std::string title;
    std::string model;              // e.g. "REML, two-stage"
    std::vector<prediction> curve;  // along the dose, against the reference dose
    std::vector<prediction> linear; // the linear trend at the same doses
    std::vector<double> knots;
    std::vector<double> rug; // every dose of every study
    std::vector<curve_point> points;
    double nonlinear_p = not_computed;
    std::vector<curve_group> groups; // when given, drawn in place of `curve` and `linear`
    outcome_measure measure = outcome_measure::relative_risk; // the words and the axis
    std::string dose_label = "Dose"; // the dose axis, "Dose (g/day)" with --unit
};

// From a pooled trend (with a method available) and the linear one, over the
// studies that were analysed.
curve_plot make_curve_plot(const curve_result& r, const curve_result& linear,
                           const std::vector<curve_study>& studies, const std::string& title);

// The same with one curve per subgroup (each along its own doses, against the
// whole analysis's reference dose) and a legend.
curve_plot make_curve_plot(const curve_result& r, const curve_subgroups& groups,
                           const std::vector<curve_study>& studies, const std::string& title);

void write_curve_plot(std::ostream& out, const curve_plot& plot);

} // namespace morvex

#endif
