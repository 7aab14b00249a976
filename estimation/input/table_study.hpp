// A table study's record from the categories its rows gave: the reference
// found, the exposed categories measured from it, the value checks' notices.
#ifndef MORVEX_ESTIMATION_TABLE_STUDY_HPP
#define MORVEX_ESTIMATION_TABLE_STUDY_HPP

#include "estimation/input/dose_range.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/method/study.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace morvex {

// The lines that leave out cases, a total or the type: such a study has no
// count-based covariance, and whether it is refused is the run's choice.
struct missing_counts {
    std::vector<int> cases, totals, types;

    int first_line() const;
    // "no cases on line 4; no n on lines 5, 6"; empty when nothing is missing.
    std::string text(const std::string& cases_name, const std::string& totals_name,
                     const std::string& type_name) const;
};

// The one category whose relative risk and limits are all 1, which marks the
// reference when no row does; `none` when there is not exactly one.
std::size_t reference_of_ones(const std::vector<table_file::category>& categories,
                              std::size_t none);

// Fills `s` (its storage kept) from the categories of study `id`, whose first
// row is on `line`: the reference first, doses measured from its dose.
// `lines` receives the line of categories 0..n, for the notices.
void fill_study(study& s, const std::vector<table_file::category>& categories,
                std::size_t reference, study_design design, const std::string& id, int line,
                std::vector<int>& lines);

// The value checks' notices of study `id`, after a notice for each dose
// that was assigned to a range, in the order of `assigned`.
void add_study_notices(study& s, const std::string& id, const std::vector<int>& lines,
                       const std::vector<dose_assignment>& assigned);

} // namespace morvex

#endif
