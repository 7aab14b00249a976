// The study rows of a pooled-trend run, with each study's first-stage
// coefficients and their covariance as columns of its row.
#ifndef MORVEX_ESTIMATION_OUTPUT_CURVE_CSV_HPP
#define MORVEX_ESTIMATION_OUTPUT_CURVE_CSV_HPP

#include "estimation/pooling/curve_analysis.hpp"

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace morvex {

// The number of coefficients p of a trend with these settings, known before
// the knots are placed.
int coefficient_count(const curve_settings& s);

// The columns a trend run adds to the study rows, each with its leading comma:
// b1..bp, the upper triangle V11,V12,..,V1p,V22,..,Vpp of their covariance,
// and trend_note (why a study has none).
std::string curve_csv_columns(int p);

// A study row held back until the knots are known: its fields without the
// line end, and its place among the studies given to the analysis (none for a
// study without a complete estimate).
struct held_csv_row {
    std::string fields;
    std::optional<std::size_t> curve_study;
};

// Writes each held row, in order, followed by its study's columns.
void write_csv_curve_rows(std::ostream& out, const std::vector<held_csv_row>& rows,
                          const curve_result& r);

} // namespace morvex

#endif
