// The results paragraph's sentences on the paper's further analyses: highest
// against lowest, the meta-regression, trim-and-fill, the rank test, and the
// trend's goodness of fit and subgroups' curves.
#ifndef MORVEX_ESTIMATION_PARAGRAPH_PAPER_HPP
#define MORVEX_ESTIMATION_PARAGRAPH_PAPER_HPP

#include "estimation/output/paper_report.hpp"
#include "estimation/output/paragraph.hpp"

#include <ostream>
#include <string>

namespace morvex::sentences {

// How each analysis asked for was done.
void paper_methods(std::ostream& out, const analysis_request& asked, outcome_measure measure);
void fit_methods(std::ostream& out, const trend_extras& extras);

// What each gave, or why it could not be done.
void paper_results(std::ostream& out, const meta_analysis& m, const paragraph_settings& s);
// `by` names the subgroups' column.
void trend_extra_results(std::ostream& out, const trend_extras& extras, const std::string& by);

} // namespace morvex::sentences

#endif
