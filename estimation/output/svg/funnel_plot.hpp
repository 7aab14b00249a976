// The funnel plot: each study's slope against its standard error, for a look
// at small-study effects beside Egger's test.
#ifndef MORVEX_ESTIMATION_SVG_FUNNEL_PLOT_HPP
#define MORVEX_ESTIMATION_SVG_FUNNEL_PLOT_HPP

#include "estimation/method/measure.hpp"
#include "estimation/pooling/pooling.hpp"
#include "estimation/pooling/small_studies.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace morvex {

struct funnel_plot {
    std::string title;
    std::vector<slope_estimate> studies;       // one dot each
    double fixed = 0.0;                        // the fixed-effect estimate: the funnel's axis
    std::string per_dose = "per unit of dose"; // what a slope is per
    outcome_measure measure = outcome_measure::relative_risk; // what the slopes are of
    std::vector<slope_estimate> filled; // trim-and-fill's, drawn as open circles
    double adjusted = 0.0;              // with filled studies: the adjusted estimate
    std::string adjusted_model;         // and the model it is of
};

// With `fill` (may be null) its filled studies and adjusted estimate too.
funnel_plot make_funnel_plot(const pooled_summary& s, const std::string& title,
                             outcome_measure measure = outcome_measure::relative_risk,
                             const trim_and_fill* fill = nullptr);

// SE on a reversed vertical axis (0 at the top), the fixed-effect estimate's
// vertical line and its pseudo 95% limits, estimate +- 1.96 SE, as dashed lines.
void write_funnel_plot(std::ostream& out, const funnel_plot& plot);

} // namespace morvex

#endif
