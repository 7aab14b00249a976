// The pooled trend as rows after the CSV's study rows.
#ifndef MORVEX_ESTIMATION_OUTPUT_CURVE_CSV_HPP
#define MORVEX_ESTIMATION_OUTPUT_CURVE_CSV_HPP

#include "estimation/pooling/curve_analysis.hpp"

#include <ostream>

namespace morvex {

// Rows with status `trend study` (each study's first stage), `trend pooled`
// (one per method) and `trend prediction` (one per method and dose), or one
// row `trend not pooled` that says why. The columns beta, se, lower, upper and
// p hold the first coefficient (a prediction's log RR); every figure is also
// in the message as key=value pairs: b1.., V11, V12.., psi11.., and so on.
// `covariance`: an empty last field under the covariance column.
void write_csv_curve_rows(std::ostream& out, const curve_result& r, bool covariance = false);

} // namespace morvex

#endif
