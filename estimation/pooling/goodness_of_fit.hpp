// How well the pooled trend fits the categories it was fitted to: the
// fixed-effect model over every exposed category at once, its deviance, R^2
// and decorrelated residuals.
#ifndef MORVEX_ESTIMATION_POOLING_GOODNESS_OF_FIT_HPP
#define MORVEX_ESTIMATION_POOLING_GOODNESS_OF_FIT_HPP

#include "estimation/method/dose_basis.hpp"
#include "estimation/pooling/curve_analysis.hpp"

#include <string>
#include <vector>

namespace morvex {

// One study's decorrelated residuals L_i^-1 r_i (S_i = L_i L_i'), one per
// exposed category, beside its doses as published.
struct study_residuals {
    std::string label;
    std::string input;
    std::string id;
    std::vector<double> doses;
    std::vector<double> residuals;
};

struct goodness_of_fit {
    std::string message; // why there is none; empty otherwise
    trend_shape shape = trend_shape::linear;
    int studies = 0;
    int categories = 0;   // N, exposed categories
    int coefficients = 0; // p
    Matrix beta{0, 1};
    double deviance = 0.0; // sum r_i' S_i^-1 r_i
    int df = 0;            // N - p
    double p = 0.0;
    double R2 = 0.0; // 1 - D / sum y_i' S_i^-1 y_i
    std::vector<study_residuals> residuals;
};

// The fixed-effect fit of `basis` to every study's exposed categories.
goodness_of_fit fit_goodness(const std::vector<curve_study>& studies, const dose_basis& basis);

} // namespace morvex

#endif
