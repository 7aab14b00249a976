// One study's trend with p coefficients: generalised least squares of its log
// relative risks on its centred design, with the covariance its estimate formed.
#ifndef MORVEX_ESTIMATION_METHOD_COEFFICIENT_FIT_HPP
#define MORVEX_ESTIMATION_METHOD_COEFFICIENT_FIT_HPP

#include "estimation/method/study.hpp"

#include <string>

namespace morvex {

struct coefficient_fit {
    bool usable = false; // b and V hold the fit; otherwise `reason` says why not
    std::string reason;
    Matrix b{0, 1}; // the p coefficients
    Matrix V{0, 0}; // their covariance (X' S^-1 X)^-1
};

// b = V X' S^-1 y, V = (X' S^-1 X)^-1 for a study with design X (n x p), log
// relative risks y and their covariance S. A study with fewer categories than
// coefficients, or whose design has rank below p, has no fit; neither has one
// whose figures are not finite.
coefficient_fit fit_coefficients(const Matrix& X, const Matrix& y, const Matrix& S);

// What the fit writes besides its result, kept from study to study.
struct coefficient_buffers {
    Matrix xt{0, 0};
    Matrix Sinv{0, 0};
    Matrix xtSinv{0, 0};
    Matrix information{0, 0};
    Matrix Vxt{0, 0};
    Matrix weights{0, 0};
    Matrix::scratch inversion;
};

// The same with the caller's buffers: after the largest study seen, it
// allocates only the b and V it returns.
coefficient_fit fit_coefficients(const Matrix& X, const Matrix& y, const Matrix& S,
                                 coefficient_buffers& buffers);

// The rank of X (columns scaled to unit length first), by Gaussian elimination
// with a relative tolerance.
int column_rank(const Matrix& X);

} // namespace morvex

#endif
