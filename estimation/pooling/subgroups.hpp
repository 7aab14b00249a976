// Subgroup analysis: the studies of each value of a column pooled on their own,
// and the test for differences between the subgroups.
#ifndef MORVEX_ESTIMATION_SUBGROUPS_HPP
#define MORVEX_ESTIMATION_SUBGROUPS_HPP

#include "estimation/pooling/pooling.hpp"

#include <optional>
#include <string>
#include <vector>

namespace morvex {

// A study's value of the grouping column, or why it has none ("no value", "no
// column ..."): a study without a value forms no subgroup.
struct group_value {
    std::string value;
    std::string missing; // non-empty: the study takes no part, for this reason
};

struct subgroup {
    std::string value;
    std::vector<std::size_t> members; // indices into the studies given
    // Each model's summary; a subgroup of one study has that study's slope and SE
    // under every model, and no heterogeneity.
    std::optional<pooled_summary> pooled; // two or more studies
    pooled_estimate fixed, dl, reml;
    std::string message; // why the subgroup could not be pooled; else empty
    bool usable() const { return message.empty(); }
};

// Q_between = sum_g (m_g - m)^2 / SE_g^2 with m the inverse-variance mean of the
// subgroups' estimates; chi-square with G - 1 degrees of freedom.
struct subgroup_difference {
    double Q = 0.0;
    int df = 0;
    double p = 0.0;
};

struct subgroup_analysis {
    std::vector<subgroup> groups; // in order of first appearance
    struct left_out {
        std::size_t study; // index into the studies given
        std::string reason;
    };
    std::vector<left_out> left_out_studies;
    // Per model; empty below two usable subgroups, or when one could not be pooled.
    std::optional<subgroup_difference> fixed, dl, reml;
    std::string no_test; // why there is no test; else empty
};

// `values` gives each study's value, in the order of `studies`.
subgroup_analysis analyse_subgroups(const std::vector<slope_estimate>& studies,
                                    const std::vector<group_value>& values);

subgroup_difference between_subgroups(const std::vector<const pooled_estimate*>& estimates);

} // namespace morvex

#endif
