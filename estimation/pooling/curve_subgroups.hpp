// The pooled curve of each subgroup, with the knots and prediction doses of
// the whole analysis so that the curves compare, and the test that they differ.
#ifndef MORVEX_ESTIMATION_POOLING_CURVE_SUBGROUPS_HPP
#define MORVEX_ESTIMATION_POOLING_CURVE_SUBGROUPS_HPP

#include "estimation/pooling/curve_analysis.hpp"

#include <string>
#include <vector>

namespace morvex {

struct curve_subgroup {
    std::string value;
    std::vector<std::size_t> members; // indices into the studies given
    curve_result curve;               // two-stage
};

// Q_b = sum_g (b_g - b)' V_g^-1 (b_g - b), b the fixed-effect combination of
// the subgroups' coefficient vectors; chi-square with p (G - 1) df.
struct curve_difference {
    std::string method; // "fixed", "moments", "reml"
    chi_square_test test;
    std::string message; // why there is no test for this method; else empty
};

struct curve_subgroups {
    std::vector<curve_subgroup> groups; // in order of first appearance
    struct left_out {
        std::size_t study;
        std::string reason;
    };
    std::vector<left_out> left_out_studies;
    std::vector<curve_difference> differences; // one per method of the overall curve
    std::string no_test;                       // why there is no test at all; else empty
};

// `overall` is the whole analysis (with its basis chosen); each study's
// group is in its `group` or `group_missing`.
curve_subgroups analyse_curve_subgroups(const std::vector<curve_study>& studies,
                                        const curve_result& overall);

} // namespace morvex

#endif
