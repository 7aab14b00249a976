// Results as CSV (RFC 4180), one row per study, numbers that read back exactly.
#ifndef MORVEX_ESTIMATION_CSV_HPP
#define MORVEX_ESTIMATION_CSV_HPP

#include "estimation/method/study.hpp"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace morvex {

// One row per study and nothing else, so that the file reads as one data frame;
// the pooling and the analyses go to the summary table. With an increment D
// each row also gives the study's RR per D units of dose and its limits.
// `more` ends the header with further columns (each with its leading comma).
// A run of means names its columns measure (for design) and md, md_lower,
// md_upper (or smd, ...) for rr, rr_lower, rr_upper.
void write_csv_header(std::ostream& out, bool increment = false, std::string_view more = {},
                      outcome_measure measure = outcome_measure::relative_risk);
// A row's fields without the line end, appended to `row`, for a caller that
// adds columns and writes each row at once.
void append_csv_fields(std::string& row, const study_result& r,
                       std::optional<double> increment = std::nullopt);

// A field quoted when it holds a separator, a quote or a line break.
void write_csv_field(std::ostream& out, std::string_view text);
// The same appended to `row`.
void append_csv_field(std::string& row, std::string_view text);

} // namespace morvex

#endif
