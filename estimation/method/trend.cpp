#include "estimation/method/trend.hpp"

#include "estimation/base/format.hpp"

#include <cmath>

namespace morvex {
namespace {

// Square root of the variance of each log relative risk implied by the fitted
// counts, into `scale`. In a cohort study this is the variance of a log risk
// ratio, 1/A_i + 1/A_0 - 1/N_i - 1/N_0, for any number of exposed categories;
// person-time is no binomial denominator, so a log rate ratio's is 1/A_i + 1/A_0.
void scales(const study& s, const fitted_counts& fit, double B0, Matrix& scale) {
    const Matrix::size_type n = fit.A.row_count();
    const double A0 = fit.A0;
    scale.reshape(n, 1);
    for (Matrix::size_type i = 0; i < n; ++i) {
        const double Ai = fit.A(i, 0);
        double radicand = 1 / Ai + 1 / A0;
        if (s.design == study_design::case_control) {
            const double Bi = s.N(i, 0) - Ai;
            radicand = 1 / Ai + 1 / Bi + 1 / A0 + 1 / B0;
        } else if (s.design == study_design::cohort) {
            radicand = 1 / Ai + 1 / A0 - 1 / s.N(i, 0) - 1 / s.N0;
        }
        if (!(radicand > 0.0) || !std::isfinite(radicand)) {
            throw estimation_error(
                format("the variance of the log relative risk of category %d implied by the "
                       "fitted counts is %lg, not greater than 0: no correlation can be formed",
                       static_cast<int>(i) + 1, radicand));
        }
        scale(i, 0) = std::sqrt(radicand);
    }
}

} // namespace

Matrix covariance(const study& s, const fitted_counts& fit) {
    Matrix V(0, 0);
    trend_buffers buffers;
    covariance(s, fit, V, buffers);
    return V;
}

void covariance(const study& s, const fitted_counts& fit, Matrix& V, trend_buffers& buffers) {
    const Matrix::size_type n = fit.A.row_count();
    const double A0 = fit.A0;
    const double B0 = s.N0 - A0;
    const Matrix& scale = buffers.scale;
    scales(s, fit, B0, buffers.scale);
    // The covariance of two log relative risks comes from their shared reference.
    double shared = 1 / A0;
    if (s.design == study_design::case_control) {
        shared = 1 / A0 + 1 / B0;
    } else if (s.design == study_design::cohort) {
        shared = 1 / A0 - 1 / s.N0;
    }

    // Formed in the buffers' storage, which V then shares; V first lets go of
    // what it held, so that storage of a previous study's V is used again.
    V = Matrix(0, 0);
    Matrix& W = buffers.V;
    W.reshape(n, n);
    for (Matrix::size_type i = 0; i < n; ++i) {
        for (Matrix::size_type j = 0; j < n; ++j) {
            if (i == j) {
                W(i, i) = s.v(i, 0);
            } else {
                const double r = shared / (scale(i, 0) * scale(j, 0));
                W(i, j) = r * std::sqrt(s.v(i, 0) * s.v(j, 0));
            }
        }
    }
    V = W;
}

trend estimate_trend(const study& s, const fitted_counts& fit) {
    return estimate_trend(s, covariance(s, fit));
}

trend estimate_trend(const study& s, const Matrix& V) {
    trend_buffers buffers;
    return estimate_trend(s, V, buffers);
}

// beta = (x' V^-1 x)^-1 x' V^-1 L, formed as ((variance x') V^-1) L.
trend estimate_trend(const study& s, const Matrix& V, trend_buffers& b) {
    transpose_into(s.x, b.xt);
    invert_into(V, b.Vinv, b.inversion);
    multiply_into(b.xt, b.Vinv, b.xtVinv);
    multiply_into(b.xtVinv, s.x, b.Q);
    invert_into(b.Q, b.Qinv, b.inversion);
    const double variance = b.Qinv(0, 0);
    if (!(variance > 0.0) || !std::isfinite(variance)) {
        throw estimation_error(format("the variance of beta is %lg, not greater than 0: the "
                                      "covariance matrix of the log relative risks is not "
                                      "positive definite",
                                      variance));
    }
    trend t;
    scale_into(variance, b.xt, b.weights);
    multiply_into(b.weights, b.Vinv, b.weighted);
    multiply_into(b.weighted, s.L, b.slope);
    t.beta = b.slope(0, 0);
    t.se = std::sqrt(variance);
    if (!std::isfinite(t.beta) || !std::isfinite(t.se)) {
        throw estimation_error(format("the estimated beta (%lg) or its standard error (%lg) is "
                                      "not a finite number",
                                      t.beta, t.se));
    }
    return t;
}

} // namespace morvex
