// One study's trend with p coefficients: generalised least squares of its log
// relative risks on its centred design, with the covariance its estimate formed,
// solved by an orthogonal factorisation of the whitened design.
#ifndef MORVEX_ESTIMATION_METHOD_COEFFICIENT_FIT_HPP
#define MORVEX_ESTIMATION_METHOD_COEFFICIENT_FIT_HPP

#include "estimation/method/householder.hpp"
#include "estimation/method/study.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace morvex {

// A spline of 7 knots.
constexpr std::size_t most_coefficients = 6;

// A study's least squares in p x p: with C C' = S and the whitened design
// C^-1 X = Q F (Q with orthonormal columns, F m x p, m = min(n, p)), F'F = X'S^-1 X,
// F'z = X'S^-1 y and `residual` = y'S^-1 y - z'z, the part of C^-1 y that no
// column of C^-1 X reaches, formed as a sum of squares, not a difference. The
// pooling needs nothing else of the study, besides X'X and X'y for the method of
// moments and log |S| for the likelihood.
struct reduced_study {
    bool factored = false;    // false: S is not positive definite, or a figure is not finite
    std::size_t outcomes = 0; // n
    std::size_t p = 0;
    std::size_t m = 0;
    std::array<double, most_coefficients * most_coefficients> F{}; // row-major, m x p
    std::array<double, most_coefficients> z{};
    double residual = 0.0;
    double log_det_S = 0.0;
    double log_det_information = 0.0; // log |X'S^-1 X| = log |F'F| (m = p)
    std::array<double, most_coefficients * most_coefficients> XX{}; // X'X, row-major p x p
    std::array<double, most_coefficients> Xy{};                     // X'y
};

struct coefficient_fit {
    bool usable = false; // b and V hold the fit; otherwise `reason` says why not
    std::string reason;
    Matrix b{0, 1}; // the p coefficients
    Matrix V{0, 0}; // their covariance (X' S^-1 X)^-1
    reduced_study reduced;
};

// What the fit writes besides its result, kept from study to study.
struct coefficient_buffers {
    Matrix xt{0, 0};
    Matrix Sinv{0, 0};
    Matrix xtSinv{0, 0};
    Matrix information{0, 0};
    Matrix Vxt{0, 0};
    Matrix weights{0, 0};
    Matrix::scratch inversion;
    std::vector<double> C; // S's factor, row-major
    column_block whitened; // C^-1 [X / scale, y]
    std::vector<double> scale;
    std::vector<std::size_t> perm;
};

// b = (X'S^-1X)^-1 X'S^-1 y and V = (X'S^-1X)^-1 for a study with design X
// (n x p, p at most 6), log relative risks y and their covariance S: with the
// columns of C^-1 X scaled to unit length, b and V come from R of their
// factorisation, never from X'S^-1 X, whose condition is the square of theirs.
// A study with fewer categories than coefficients, or whose scaled design has
// rank below p, has no fit; neither has one whose figures are not finite. For
// p = 1 b and V are the slope of the linear trend and its variance to the bit.
// `reduced` is filled whenever S is positive definite, fit or not.
coefficient_fit fit_coefficients(const Matrix& X, const Matrix& y, const Matrix& S);
// The same with the caller's buffers: after the largest study seen, it
// allocates only the b and V it returns.
coefficient_fit fit_coefficients(const Matrix& X, const Matrix& y, const Matrix& S,
                                 coefficient_buffers& buffers);

// The rank of X with its columns scaled to unit length, from the factorisation above.
int column_rank(const Matrix& X);

} // namespace morvex

#endif
