// The linear mixed model shared by the two-stage and one-stage pooling of trends:
// unit i (a study) has outcomes y_i ~ N(X_i beta, S_i + X_i Psi X_i'). In the two
// stages X_i is the identity and y_i the study's coefficients; in one stage X_i
// is its centred design and y_i its log relative risks.
#ifndef MORVEX_ESTIMATION_POOLING_MIXED_MODEL_HPP
#define MORVEX_ESTIMATION_POOLING_MIXED_MODEL_HPP

#include "estimation/method/study.hpp"

#include <cstddef>
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

// A small dense matrix in one block, row by row, whose storage is kept when it
// is sized again: the model is evaluated many times in a search, and a Matrix
// allocates each row.
struct dense_block {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> a;

    // Becomes rows x cols, every element 0.
    void zero(std::size_t r, std::size_t c) {
        rows = r;
        cols = c;
        a.assign(r * c, 0.0);
    }
    double& operator()(std::size_t i, std::size_t j) { return a[i * cols + j]; }
    double operator()(std::size_t i, std::size_t j) const { return a[i * cols + j]; }
};

// What one unit adds at a given Psi, and the scratch of its share of the gradient.
struct unit_terms {
    dense_block X;
    dense_block XP;    // X_i Psi
    dense_block sigma; // Sigma_i, then its factor
    dense_block Ci;    // the factor's inverse
    dense_block W;     // Sigma_i^-1
    dense_block XtW;   // X_i' W_i
    dense_block B;     // X_i' W_i X_i
    dense_block BH;
    std::vector<double> r;
    std::vector<double> Xu;
    double log_det = 0.0;
};

// Everything an evaluation writes: kept from one evaluation to the next, an
// evaluation of the same units allocates nothing.
struct mixed_buffers {
    dense_block psi;
    dense_block A;
    dense_block XX;
    dense_block Ci;
    dense_block H;
    dense_block G;
    std::vector<double> c;
    std::vector<unit_terms> units;
};

// Empty when a matrix of the model is not positive definite in double precision.
std::optional<mixed_evaluation> evaluate_model(const std::vector<mixed_unit>& units,
                                               const Matrix& psi, bool with_gradient);
// The same into e (its gradient set only when asked); false where the other gives nothing.
bool evaluate_model(const std::vector<mixed_unit>& units, const Matrix& psi, bool with_gradient,
                    mixed_buffers& buffers, mixed_evaluation& e);

// Lower-triangular C with C C' = A; empty when A is not positive definite.
std::optional<Matrix> cholesky(const Matrix& A);
// The same into C; false (C unspecified) when A is not positive definite.
bool cholesky(const Matrix& A, Matrix& C);
// A^-1 from the factor of A.
Matrix inverse_from_cholesky(const Matrix& C);
// The same into `inverse`, with C^-1 formed in Ci.
void inverse_from_cholesky(const Matrix& C, Matrix& Ci, Matrix& inverse);

// Total outcomes N and coefficients p.
int outcome_count(const std::vector<mixed_unit>& units);

} // namespace morvex

#endif
