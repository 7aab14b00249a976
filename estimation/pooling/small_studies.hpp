// Small-study effects beyond Egger's test: Duval and Tweedie's trim-and-fill,
// and Begg and Mazumdar's rank correlation test.
#ifndef MORVEX_ESTIMATION_POOLING_SMALL_STUDIES_HPP
#define MORVEX_ESTIMATION_POOLING_SMALL_STUDIES_HPP

#include "estimation/pooling/meta_regression.hpp"
#include "estimation/pooling/pooling.hpp"

#include <optional>
#include <string>
#include <vector>

namespace morvex {

enum class fill_estimator { l0, r0 };

struct filled_study {
    std::size_t mirrored = 0; // the study it mirrors, an index into the studies given
    double b = 0.0;           // 2 centre - b of that study
    double se = 0.0;          // that study's
};

struct trim_and_fill {
    std::string message; // why there is none; empty otherwise
    fill_estimator estimator = fill_estimator::l0;
    tau2_method model = tau2_method::reml; // of the side, the centre and the summary
    double side_slope = 0.0;    // the coefficient of the SE in the side's meta-regression
    bool missing_right = false; // studies missing on the right (side_slope < 0)
    int k0 = 0;
    int iterations = 0;
    bool converged = false; // k0 repeated within the limit
    double centre = 0.0;    // of the trimmed studies, the last iteration
    std::vector<filled_study> filled;
    std::optional<pooled_summary> adjusted; // the k + k0 studies pooled
};

// k >= 3 studies; `model` estimates the centre at each step and the side.
trim_and_fill fill_missing(const std::vector<slope_estimate>& studies, fill_estimator estimator,
                           tau2_method model);

// Kendall's tau between (b_i - b_FE) / sqrt(v_i - v_FE) and v_i.
struct rank_correlation {
    std::string message; // why there is none; empty otherwise
    double tau = 0.0;    // tau-b (tau-a without ties)
    double S = 0.0;      // concordant minus discordant pairs
    double z = 0.0;      // S / SD(S) with ties corrected; NaN when exact
    double p = 0.0;      // two-sided
    bool exact = false;  // from the null distribution of S (k < 50, no ties)
};

rank_correlation rank_test(const std::vector<slope_estimate>& studies);

// Below this many studies and without ties the rank test's p is exact.
constexpr std::size_t exact_rank_limit = 50;

// P(D = d), d = 0 .. n(n-1)/2, for the number D of discordant pairs of n
// observations without ties, all n! orders equally likely.
std::vector<double> discordant_probabilities(int n);

} // namespace morvex

#endif
