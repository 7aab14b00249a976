// The pooled trend as text: each study's coefficients, then per method the
// pooled coefficients, their covariance, Psi, the tests and the predictions.
#ifndef MORVEX_ESTIMATION_OUTPUT_CURVE_REPORT_HPP
#define MORVEX_ESTIMATION_OUTPUT_CURVE_REPORT_HPP

#include "estimation/pooling/curve_analysis.hpp"

#include <ostream>

namespace morvex {

void print_curve(std::ostream& out, const curve_result& r);

// "linear", "quadratic", or "spline with K knots at a, b, c".
std::string describe_trend(const curve_result& r);

// A method's name as the reports write it.
const char* method_title(const curve_method& m);

} // namespace morvex

#endif
