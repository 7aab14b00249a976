// The report on standard output: opening, fitted counts and result lines.
#ifndef MORVEX_ESTIMATION_REPORT_HPP
#define MORVEX_ESTIMATION_REPORT_HPP

#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/study.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/output/text_builder.hpp"

#include <ostream>
#include <string>

namespace morvex {

// The warning when the iteration did not converge, then the fitted counts.
void print_fitted_counts(std::ostream& out, const fitted_counts& fit);

// The slope and its standard error.
void print_result(std::ostream& out, const trend& t);

// A study's report as far as it got, appended to `text`: banner, input file,
// title, design and the table of initial settings; the fitted counts (or
// Hamling's pseudo-counts); the slope. With `classic`, a refused study adds
// nothing, as a single setting file always has; otherwise a refused or stopped
// study's report ends in a line that says so, so that every study shows. A run
// builds each study's report in room it keeps from study to study.
void append_report(text_builder& lines, const study_result& r, bool classic);

} // namespace morvex

#endif
