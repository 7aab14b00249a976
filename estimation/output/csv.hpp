// Results as CSV (RFC 4180), one row per study, numbers that read back exactly.
#ifndef MORVEX_ESTIMATION_CSV_HPP
#define MORVEX_ESTIMATION_CSV_HPP

#include "estimation/method/study.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <ostream>
#include <string_view>

namespace morvex {

void write_csv_header(std::ostream& out);
void write_csv_row(std::ostream& out, const study_result& r);

// After the study rows: one row per pooling method (`fixed`, `dl`, `reml` in
// the id column, status `pooled`, the other figures as key=value pairs in the
// message), or one row with status `not pooled` that says why.
void write_csv_pooled_rows(std::ostream& out, const meta_analysis& m);

// A field quoted when it holds a separator, a quote or a line break.
void write_csv_field(std::ostream& out, std::string_view text);

} // namespace morvex

#endif
