// The restricted (REML) maximum likelihood estimate of the between-study
// variance tau^2: the global maximum of the restricted log-likelihood on
// [0, inf), which can have more than one peak when the studies' variances lie
// decades apart.
#ifndef MORVEX_ESTIMATION_REML_HPP
#define MORVEX_ESTIMATION_REML_HPP

#include "estimation/pooling/weighted_design.hpp"

#include <vector>

namespace morvex {

// How the maximum was found: the score (the derivative of the restricted
// log-likelihood) is evaluated on a grid of tau^2 values, every change of
// sign from rising to falling is solved by safeguarded Newton steps, and the
// highest of those maxima and of tau^2 = 0 is taken.
struct reml_maximum {
    double tau2 = 0.0;      // not a number when the data span too many decades
    int grid_points = 0;    // tau^2 values where the score was evaluated, 0 included
    int maxima = 0;         // local maxima compared (tau^2 = 0 counts when it is one)
    int iterations = 0;     // Newton or bisection steps, over every maximum solved
    bool converged = false; // every maximum solved to full precision
};

// The slopes b and their variances (all finite, greater than 0, as many as b).
reml_maximum maximise_restricted_likelihood(const std::vector<double>& b,
                                            const std::vector<double>& variances);

// The residual tau^2 of a meta-regression of b on the design X (its first
// column the intercept, rank m = X.size() < k): the same search with
// P = W - W X (X'WX)^-1 X'W in place of the mean's.
reml_maximum maximise_restricted_likelihood(const std::vector<double>& b,
                                            const std::vector<double>& variances,
                                            const design_columns& X);

// tr(P) with P = W - w w' / sum w for the weights w, in a form with positive
// terms only; at tau^2 = 0 it is the DerSimonian-Laird denominator.
double trace_p(const std::vector<double>& w);

} // namespace morvex

#endif
