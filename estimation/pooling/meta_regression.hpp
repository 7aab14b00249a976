// Mixed-effects meta-regression of the per-study slopes on study-level
// moderators, the residual tau^2 found by the one REML search.
#ifndef MORVEX_ESTIMATION_POOLING_META_REGRESSION_HPP
#define MORVEX_ESTIMATION_POOLING_META_REGRESSION_HPP

#include "estimation/pooling/pooling.hpp"
#include "estimation/pooling/reml.hpp"

#include <string>
#include <vector>

namespace morvex {

// One moderator's value for each study: a number, or a text whose levels are
// compared as bytes, the first level the baseline.
struct moderator_values {
    std::string name; // the column
    bool numeric = false;
    std::vector<double> numbers;    // when numeric
    std::vector<std::string> texts; // otherwise
};

// How the residual between-study variance is estimated.
enum class tau2_method { fixed, dl, reml };

struct regression_term {
    std::string name; // "intercept", the column, or "column: level"
    double estimate = 0.0;
    double se = 0.0;
    double lower = 0.0; // 95% limits, from z or from t with k - m df
    double upper = 0.0;
    double statistic = 0.0; // z, or t under Knapp-Hartung
    double p = 0.0;
};

struct meta_regression {
    std::string message; // why there is no fit; empty when fitted
    std::size_t k = 0;   // studies
    tau2_method method = tau2_method::reml;
    bool knapp_hartung = false;
    std::vector<std::string> baselines; // "column: level" of each text moderator
    std::vector<regression_term> terms; // m: the intercept first
    std::vector<double> covariance;     // m x m row by row, scaled under Knapp-Hartung
    int df = 0;                         // k - m: of t, and the F test's second
    double scale = 1.0;                 // Knapp-Hartung's weighted residual mean square
    // The test that every coefficient but the intercept is 0: chi-square with
    // m - 1 df, or F with m - 1 and k - m df under Knapp-Hartung.
    double omnibus = 0.0;
    int omnibus_df = 0;
    double omnibus_p = 0.0;
    heterogeneity residual;      // Q_E about the fixed-effect fit, k - m df, I^2 from it
    double tau2 = 0.0;           // residual
    reml_maximum search;         // how REML's residual tau^2 was found
    double tau2_without = 0.0;   // REML tau^2 of the same studies without moderators
    double R2 = 0.0;             // percent; NaN when tau2_without is 0
    std::vector<double> weights; // 1 / (v_i + tau^2), for the bubble plot
};

// Fits b_i = x_i' beta + u_i + e_i over studies that have every moderator's
// value; refused (message) below m + 2 studies or when the design has rank
// below m.
meta_regression regress(const std::vector<slope_estimate>& studies,
                        const std::vector<moderator_values>& moderators, bool knapp_hartung,
                        tau2_method method = tau2_method::reml);

} // namespace morvex

#endif
