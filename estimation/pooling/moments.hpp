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
std::optional<Matrix> moments_psi(const std::vector<mixed_unit>& units);

} // namespace morvex

#endif
