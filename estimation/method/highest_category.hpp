// The exposed category of a study's highest dose: the comparison of highest
// versus lowest takes its log relative risk (or, for means, its difference)
// against the reference.
#ifndef MORVEX_ESTIMATION_METHOD_HIGHEST_CATEGORY_HPP
#define MORVEX_ESTIMATION_METHOD_HIGHEST_CATEGORY_HPP

#include "estimation/method/study.hpp"

#include <vector>

namespace morvex {

// `lines` holds the line of categories 0..n, the reference first, for a table
// study; empty for a setting file, whose doses are all on line 6. Sets the
// study's `highest` (its problem, naming the rows, when two categories share
// the highest dose or the reference has it). A study of means has its
// differences only after its estimation.
highest_category highest_of(const study& s, const std::vector<int>& lines);

} // namespace morvex

#endif
