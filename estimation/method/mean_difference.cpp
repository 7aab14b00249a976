#include "estimation/method/mean_difference.hpp"

#include <cmath>

namespace morvex {

pooled_sd standardiser(const study& s) {
    double people = s.N0;
    double squares = (s.N0 - 1) * s.sd0 * s.sd0;
    for (Matrix::size_type i = 0; i < s.N.row_count(); ++i) {
        people += s.N(i, 0);
        squares += (s.N(i, 0) - 1) * s.sd(i, 0) * s.sd(i, 0);
    }
    pooled_sd p;
    p.df = people - (s.n + 1);
    p.s = std::sqrt(squares / p.df);
    p.J = 1 - 3 / (4 * p.df - 1);
    return p;
}

void mean_differences(study& s) {
    const bool standardised = s.measure == outcome_measure::standardised_mean_difference;
    const pooled_sd p = standardised ? standardiser(s) : pooled_sd{};
    const Matrix::size_type n = s.N.row_count();
    for (Matrix::size_type i = 0; i < n; ++i) {
        double y = s.mean(i, 0) - s.mean0;
        double v = s.sd(i, 0) * s.sd(i, 0) / s.N(i, 0) + s.sd0 * s.sd0 / s.N0;
        if (standardised) {
            y *= p.J / p.s;
            v = 1 / s.N(i, 0) + 1 / s.N0 + y * y / (2 * p.df);
        }
        s.L(i, 0) = y;
        s.v(i, 0) = v;
        s.lo(i, 0) = y - 1.96 * std::sqrt(v);
        s.hi(i, 0) = y + 1.96 * std::sqrt(v);
    }
}

Matrix mean_difference_covariance(const study& s) {
    const bool standardised = s.measure == outcome_measure::standardised_mean_difference;
    const double df = standardised ? standardiser(s).df : 0.0;
    const Matrix::size_type n = s.L.row_count();
    Matrix V(n, n);
    for (Matrix::size_type i = 0; i < n; ++i) {
        for (Matrix::size_type j = 0; j < n; ++j) {
            V(i, j) = i == j         ? s.v(i, 0)
                      : standardised ? 1 / s.N0 + s.L(i, 0) * s.L(j, 0) / (2 * df)
                                     : s.sd0 * s.sd0 / s.N0;
        }
    }
    return V;
}

} // namespace morvex
