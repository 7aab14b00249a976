// The analyses of paper_report in the JSON document: inside "pooled", and
// after "curve" at the top level.
#ifndef MORVEX_ESTIMATION_PAPER_JSON_HPP
#define MORVEX_ESTIMATION_PAPER_JSON_HPP

#include "estimation/output/paper_report.hpp"
#include "estimation/output/text_builder.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>

namespace morvex {

// Members of the "pooled" object, each after a comma: "highest_vs_lowest",
// "meta_regression", "trim_and_fill", "rank_test", as asked for.
void write_paper_json(text_builder& out, const meta_analysis& m);

// Members of the document, each after a comma: "curve_subgroups", "goodness_of_fit".
void write_trend_extras_json(std::ostream& stream, const trend_extras& extras);

} // namespace morvex

#endif
