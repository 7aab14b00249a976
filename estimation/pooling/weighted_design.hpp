// A meta-regression's design weighted at one tau^2, W^(1/2) X = Q R by
// Householder reflections: the generalised least squares of the slopes on
// their moderators, and the terms of the restricted likelihood, without
// forming k x k matrices.
#ifndef MORVEX_ESTIMATION_POOLING_WEIGHTED_DESIGN_HPP
#define MORVEX_ESTIMATION_POOLING_WEIGHTED_DESIGN_HPP

#include <cstddef>
#include <vector>

namespace morvex {

// The design's columns, each with one value per study; the intercept (all 1)
// is the first.
using design_columns = std::vector<std::vector<double>>;

struct weighted_design {
    std::size_t k = 0;     // studies
    std::size_t m = 0;     // coefficients
    std::vector<double> w; // 1 / (v_i + tau^2)
    std::vector<double> q; // Q, k x m, column by column
    std::vector<double> r; // R, m x m, row by row (upper triangle)
    std::vector<double> e; // W^(1/2) (b - X beta): the weighted residuals
    std::vector<double> beta;
    double log_det = 0.0;  // log |X' W X|
    double residual = 0.0; // sum w_i (b_i - x_i' beta)^2 = b' P b

    double q_at(std::size_t i, std::size_t j) const { return q[j * k + i]; }
    // (X' W X)^-1, m x m row by row.
    std::vector<double> covariance() const;
};

// False when the weighted design has rank below m in double precision.
bool decompose(const design_columns& X, const std::vector<double>& b,
               const std::vector<double>& variances, double tau2, weighted_design& d);

} // namespace morvex

#endif
