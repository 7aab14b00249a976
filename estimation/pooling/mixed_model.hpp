// The linear mixed model shared by the two-stage and one-stage pooling of trends:
// unit i (a study) has outcomes y_i ~ N(X_i beta, S_i + X_i Psi X_i'). In the two
// stages X_i is the identity and y_i the study's coefficients; in one stage X_i
// is its centred design and y_i its log relative risks. Either way a unit enters
// only through its reduction to p x p (reduced_study): with Psi = L L', K = F L
// and M = I + K K' (never singular, whatever the rank of Psi), Sigma_i's inverse
// and determinant come from M's factor G: X'Sigma^-1 X = P'P with P = G^-1 F,
// X'Sigma^-1 y = P'w with w = G^-1 z, log |Sigma_i| = log |S_i| + log |M|.
#ifndef MORVEX_ESTIMATION_POOLING_MIXED_MODEL_HPP
#define MORVEX_ESTIMATION_POOLING_MIXED_MODEL_HPP

#include "estimation/method/coefficient_fit.hpp"
#include "estimation/method/study.hpp"
#include "estimation/pooling/unit_threads.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace morvex {

using mixed_unit = reduced_study;

// The unit of a study in two stages, b ~ N(beta, V + Psi), from its fit's factor.
mixed_unit two_stage_unit(const coefficient_fit& f);

// A p x p matrix, row-major, p at most 6.
using small_matrix = std::array<double, most_coefficients * most_coefficients>;

// The model at one Psi: the generalised-least-squares beta, its covariance, and
// the restricted log-likelihood of the error contrasts,
// -1/2 [(N - p) log 2 pi - log|sum X'X| + sum log|Sigma_i| + log|sum X'W X| + sum r'W r].
struct mixed_evaluation {
    Matrix beta{0, 1};
    Matrix cov{0, 0};      // (sum X_i' W_i X_i)^-1
    double loglik = 0.0;   // restricted
    double residual = 0.0; // sum r_i' W_i r_i: Q when Psi = 0
    Matrix gradient{0, 0}; // G = d loglik / d Psi, Psi's elements taken as free (p x p, symmetric)
    // With directions D_1..D_k: the second derivative of loglik along D_a and D_b, k x k,
    // row-major.
    std::vector<double> curvature;
};

// What an evaluation keeps: per unit P and w, per chunk of units its sums. An
// evaluation of units no more than before allocates nothing; with threads > 1 the
// chunks are shared among threads, with the same bits as on one.
struct mixed_workspace {
    explicit mixed_workspace(unsigned threads = 1);
    // A chunk's share of every sum: the first pass (before beta is known) and the second.
    struct chunk_sums {
        bool ok = true;
        small_matrix A{};  // sum P'P
        small_matrix XX{}; // sum X'X
        std::array<double, most_coefficients> c{};
        double log_dets = 0.0; // sum log |S_i| + log |M_i|
        double within = 0.0;   // sum of the residuals of the units' own fits
        int outcomes = 0;
        double residual = 0.0;             // sum rho'rho
        small_matrix G{};                  // 2 d loglik / d Psi
        std::vector<double> T1, T2, T3, Z; // the curvature's sums over the units
    };
    std::vector<double> P; // per unit, m x p
    std::vector<double> w; // per unit, m
    std::vector<chunk_sums> chunks;
    std::unique_ptr<unit_threads> threads;
    std::vector<double> scratch;
};

// What to evaluate besides beta and the likelihood.
struct model_request {
    bool gradient = false;
    const std::vector<small_matrix>* directions = nullptr; // symmetric; the curvature along them
};

// At Psi = L L' (L p x p, row-major; any columns may be 0): false when the pooled
// X'W X is not positive definite or a figure is not finite.
bool evaluate_model(const std::vector<mixed_unit>& units, const small_matrix& L,
                    const model_request& request, mixed_workspace& w, mixed_evaluation& e);

// At a positive semidefinite Psi (its negative eigenvalues, if rounding left any, taken as 0).
std::optional<mixed_evaluation> evaluate_model(const std::vector<mixed_unit>& units,
                                               const Matrix& psi, bool with_gradient);

// Lower-triangular C with C C' = A; empty when A is not positive definite.
std::optional<Matrix> cholesky(const Matrix& A);

// Total outcomes N.
int outcome_count(const std::vector<mixed_unit>& units);

} // namespace morvex

#endif
