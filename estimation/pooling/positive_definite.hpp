// Symmetric positive definite matrices of any size, by their lower Cholesky
// factor: the meta-regression's moderator block, a study's covariance of many
// categories, the subgroups' information. (The mixed model's own factor is
// for its p x p, p at most 6.)
#ifndef MORVEX_ESTIMATION_POOLING_POSITIVE_DEFINITE_HPP
#define MORVEX_ESTIMATION_POOLING_POSITIVE_DEFINITE_HPP

#include "estimation/method/study.hpp"

#include <optional>
#include <vector>

namespace morvex {

// Lower-triangular C with C C' = A; empty when A is not positive definite or
// a figure is not finite.
std::optional<Matrix> lower_cholesky(const Matrix& A);

// A^-1 = C'^-1 C^-1 from A's factor C.
Matrix inverse_from_cholesky(const Matrix& C);

// C^-1 v by forward substitution (v a column).
std::vector<double> solve_lower(const Matrix& C, const Matrix& v);

} // namespace morvex

#endif
