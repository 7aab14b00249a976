#include "estimation/method/trend.hpp"

#include "estimation/base/format.hpp"

#include <cmath>

namespace morvex {
namespace {

// Square root of the variance of each log relative risk implied by the fitted
// counts. In a cohort study this is the variance of a log risk ratio,
// 1/A_i + 1/A_0 - 1/N_i - 1/N_0, for any number of exposed categories; person-time
// is no binomial denominator, so a log rate ratio's is 1/A_i + 1/A_0.
Matrix scales(const study& s, const fitted_counts& fit, const Matrix& B, double B0) {
    const Matrix::size_type n = fit.A.row_count();
    const double A0 = fit.A0;
    Matrix scale(n, 1);
    for (Matrix::size_type i = 0; i < n; ++i) {
        const double Ai = fit.A(i, 0);
        double radicand = 1 / Ai + 1 / A0;
        if (s.design == study_design::case_control) {
            radicand = 1 / Ai + 1 / B(i, 0) + 1 / A0 + 1 / B0;
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
    return scale;
}

} // namespace

Matrix covariance(const study& s, const fitted_counts& fit) {
    const Matrix::size_type n = fit.A.row_count();
    const double A0 = fit.A0;
    const double B0 = s.N0 - A0;
    const Matrix B = s.N - fit.A;
    const Matrix scale = scales(s, fit, B, B0);
    // The covariance of two log relative risks comes from their shared reference.
    double shared = 1 / A0;
    if (s.design == study_design::case_control) {
        shared = 1 / A0 + 1 / B0;
    } else if (s.design == study_design::cohort) {
        shared = 1 / A0 - 1 / s.N0;
    }

    Matrix V(n, n);
    for (Matrix::size_type i = 0; i < n; ++i) {
        for (Matrix::size_type j = 0; j < n; ++j) {
            if (i == j) {
                V(i, i) = s.v(i, 0);
            } else {
                const double r = shared / (scale(i, 0) * scale(j, 0));
                V(i, j) = r * std::sqrt(s.v(i, 0) * s.v(j, 0));
            }
        }
    }
    return V;
}

trend estimate_trend(const study& s, const fitted_counts& fit) {
    return estimate_trend(s, covariance(s, fit));
}

trend estimate_trend(const study& s, const Matrix& V) {
    const Matrix xt = transpose(s.x);
    const Matrix Vinv = !V;
    const Matrix Q = (xt * Vinv) * s.x;
    const double variance = (!Q)(0, 0);
    if (!(variance > 0.0) || !std::isfinite(variance)) {
        throw estimation_error(format("the variance of beta is %lg, not greater than 0: the "
                                      "covariance matrix of the log relative risks is not "
                                      "positive definite",
                                      variance));
    }
    trend t;
    t.beta = (((variance * xt) * Vinv) * s.L)(0, 0);
    t.se = std::sqrt(variance);
    if (!std::isfinite(t.beta) || !std::isfinite(t.se)) {
        throw estimation_error(format("the estimated beta (%lg) or its standard error (%lg) is "
                                      "not a finite number",
                                      t.beta, t.se));
    }
    return t;
}

} // namespace morvex
