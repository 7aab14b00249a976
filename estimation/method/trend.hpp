// Generalised-least-squares slope of the log relative risk per unit of dose.
#ifndef MORVEX_ESTIMATION_TREND_HPP
#define MORVEX_ESTIMATION_TREND_HPP

#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/study.hpp"

namespace morvex {

struct trend {
    double beta = 0.0;
    double se = 0.0;
};

// What the covariance and the slope write, kept from study to study: after the
// largest study seen they allocate nothing, and the covariance they return
// shares their storage.
struct trend_buffers {
    Matrix V{0, 0}; // the covariance last formed; the caller's V shares it
    Matrix scale{0, 1};
    Matrix xt{0, 0};
    Matrix Vinv{0, 0};
    Matrix xtVinv{0, 0};
    Matrix Q{0, 0};
    Matrix Qinv{0, 0};
    Matrix weights{0, 0}; // variance times x'
    Matrix weighted{0, 0};
    Matrix slope{0, 0};
    Matrix::scratch inversion;
};

// Covariance of the log relative risks: the variances from the confidence
// limits on the diagonal, the correlations implied by the fitted counts off it.
// Throws estimation_error when a variance from the fitted counts is not positive.
Matrix covariance(const study& s, const fitted_counts& fit);
// The same into V, which shares the buffers' storage: once no other copy of
// the previous V is held, the next covariance allocates nothing.
void covariance(const study& s, const fitted_counts& fit, Matrix& V, trend_buffers& buffers);

// Throws estimation_error when the slope or its variance is not a finite
// positive figure, and math::matrix_error when the covariance is singular.
trend estimate_trend(const study& s, const fitted_counts& fit);

// The same from a covariance matrix already formed.
trend estimate_trend(const study& s, const Matrix& V);
trend estimate_trend(const study& s, const Matrix& V, trend_buffers& buffers);

} // namespace morvex

#endif
