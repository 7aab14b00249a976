// The linear mixed model shared by the two-stage and one-stage pooling of trends:
// unit i (a study) has outcomes y_i ~ N(X_i beta, S_i + X_i Psi X_i'). In the two
// stages X_i is the identity and y_i the study's coefficients; in one stage X_i
// is its centred design and y_i its log relative risks.
#ifndef MORVEX_ESTIMATION_POOLING_MIXED_MODEL_HPP
#define MORVEX_ESTIMATION_POOLING_MIXED_MODEL_HPP

#include "estimation/method/study.hpp"

#include <optional>
#include <vector>

namespace morvex {

struct mixed_unit {
    Matrix y; // n_i x 1
    Matrix X; // n_i x p
    Matrix S; // n_i x n_i, known
};

// The model at one Psi: the generalised-least-squares beta, its covariance, and
// the restricted log-likelihood of the error contrasts,
// -1/2 [(N - p) log 2 pi - log|sum X'X| + sum log|Sigma_i| + log|sum X'W X| + sum r'W r].
struct mixed_evaluation {
    Matrix beta{0, 1};
    Matrix cov{0, 0};      // (sum X_i' W_i X_i)^-1
    double loglik = 0.0;   // restricted
    double residual = 0.0; // sum r_i' W_i r_i: Q when Psi = 0
    Matrix gradient{0, 0}; // d loglik / d Psi, Psi's elements taken as free (p x p, symmetric)
};

// Empty when a matrix of the model is not positive definite in double precision.
std::optional<mixed_evaluation> evaluate_model(const std::vector<mixed_unit>& units,
                                               const Matrix& psi, bool with_gradient);

// Lower-triangular C with C C' = A; empty when A is not positive definite.
std::optional<Matrix> cholesky(const Matrix& A);
// A^-1 from the factor of A.
Matrix inverse_from_cholesky(const Matrix& C);

// Total outcomes N and coefficients p.
int outcome_count(const std::vector<mixed_unit>& units);

} // namespace morvex

#endif
