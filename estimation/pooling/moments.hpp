// The between-study covariance Psi by the matrix method of moments (Jackson,
// White and Riley's multivariate DerSimonian-Laird).
#ifndef MORVEX_ESTIMATION_POOLING_MOMENTS_HPP
#define MORVEX_ESTIMATION_POOLING_MOMENTS_HPP

#include "estimation/pooling/mixed_model.hpp"

#include <optional>
#include <vector>

namespace morvex {

// With the fixed-effect weights W_i = S_i^-1 and residuals e_i = y_i - X_i beta_FE,
// Q = sum X_i' W_i e_i e_i' X_i has an expectation linear in Psi; the p^2
// equations E[Q] = Q are solved, the solution symmetrised and its negative
// eigenvalues set to 0. For p = 1 this is DerSimonian and Laird's tau^2. Empty
// when the equations are singular.
// In p x p terms, as the two-stage model's units have them.
std::optional<Matrix> moments_psi(const std::vector<mixed_unit>& units);

// One study's categories in the one-stage model: y ~ N(X beta, S + X Psi X').
struct category_unit {
    Matrix y{0, 1};
    Matrix X{0, 0};
    Matrix S{0, 0};
};
// The same equations over the categories, with the fixed effect's beta and covariance.
std::optional<Matrix> moments_psi(const std::vector<category_unit>& units, const Matrix& beta,
                                  const Matrix& cov);

} // namespace morvex

#endif
