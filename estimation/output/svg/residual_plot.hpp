// The decorrelated residuals of the trend's goodness of fit against dose: a
// zero line, and each study's points joined in the order of its doses.
#ifndef MORVEX_ESTIMATION_SVG_RESIDUAL_PLOT_HPP
#define MORVEX_ESTIMATION_SVG_RESIDUAL_PLOT_HPP

#include "estimation/pooling/goodness_of_fit.hpp"

#include <ostream>
#include <string>

namespace morvex {

// `dose_label` names the dose axis: "Dose", "Dose (g/day)".
void write_residual_plot(std::ostream& out, const goodness_of_fit& g, const std::string& title,
                         const std::string& dose_label = "Dose");

} // namespace morvex

#endif
