// The analyses beside the pooled slope in the plain-text report.
#ifndef MORVEX_ESTIMATION_ANALYSES_REPORT_HPP
#define MORVEX_ESTIMATION_ANALYSES_REPORT_HPP

#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>

namespace morvex {

// Prediction intervals, then what was asked for: Knapp-Hartung, leave-one-out,
// Egger's test, subgroups.
void print_further_analyses(std::ostream& out, const meta_analysis& m);

} // namespace morvex

#endif
