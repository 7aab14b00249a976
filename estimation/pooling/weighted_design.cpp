#include "estimation/pooling/weighted_design.hpp"

#include "estimation/base/elementary.hpp"

#include <algorithm>
#include <cmath>

namespace morvex {
namespace {

// v' x over rows [from, k) of two columns.
double dot(const double* v, const double* x, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        s += v[i] * x[i];
    }
    return s;
}

// x -= 2 v (v' x) / (v' v) over n rows.
void reflect(const double* v, double vv, double* x, std::size_t n) {
    const double f = 2.0 * dot(v, x, n) / vv;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] -= f * v[i];
    }
}

} // namespace

std::vector<double> weighted_design::covariance() const {
    // R^-1 by back substitution, then R^-1 R^-T.
    std::vector<double> ri(m * m, 0.0);
    for (std::size_t c = 0; c < m; ++c) {
        for (std::size_t i = c + 1; i-- > 0;) {
            double s = i == c ? 1.0 : 0.0;
            for (std::size_t j = i + 1; j <= c; ++j) {
                s -= r[i * m + j] * ri[j * m + c];
            }
            ri[i * m + c] = s / r[i * m + i];
        }
    }
    std::vector<double> cov(m * m, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            double s = 0.0;
            for (std::size_t l = std::max(i, j); l < m; ++l) {
                s += ri[i * m + l] * ri[j * m + l];
            }
            cov[i * m + j] = s;
        }
    }
    return cov;
}

bool decompose(const design_columns& X, const std::vector<double>& b,
               const std::vector<double>& variances, double tau2, weighted_design& d) {
    const std::size_t k = b.size();
    const std::size_t m = X.size();
    d.k = k;
    d.m = m;
    d.w.resize(k);
    // The weighted columns, then b weighted as one more column, reduced in place.
    std::vector<double> a((m + 1) * k);
    for (std::size_t i = 0; i < k; ++i) {
        d.w[i] = 1.0 / (variances[i] + tau2);
        const double s = std::sqrt(d.w[i]);
        for (std::size_t j = 0; j < m; ++j) {
            a[j * k + i] = s * X[j][i];
        }
        a[m * k + i] = s * b[i];
    }
    std::vector<double> reflectors(m * k, 0.0);
    std::vector<double> lengths(m, 0.0); // v' v of each reflector
    d.r.assign(m * m, 0.0);
    d.log_det = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
        double* col = &a[j * k + j];
        const std::size_t n = k - j;
        const double norm = std::sqrt(dot(col, col, n));
        if (!(norm > 0.0) || !std::isfinite(norm)) {
            return false;
        }
        const double alpha = col[0] > 0.0 ? -norm : norm;
        double* v = &reflectors[j * k + j];
        for (std::size_t i = 0; i < n; ++i) {
            v[i] = col[i];
        }
        v[0] -= alpha;
        lengths[j] = dot(v, v, n);
        for (std::size_t c = j + 1; c <= m; ++c) {
            reflect(v, lengths[j], &a[c * k + j], n);
        }
        d.r[j * m + j] = alpha;
        for (std::size_t c = j + 1; c < m; ++c) {
            d.r[j * m + c] = a[c * k + j];
        }
        d.log_det += 2.0 * elem::log(norm);
    }
    // Relative to the columns' own lengths, a vanishing pivot is a lost rank.
    for (std::size_t j = 0; j < m; ++j) {
        double length = 0.0;
        for (std::size_t i = 0; i < k; ++i) {
            length += d.w[i] * X[j][i] * X[j][i];
        }
        if (!(std::fabs(d.r[j * m + j]) > 1e-10 * std::sqrt(length))) {
            return false;
        }
    }
    // b's reduced column: its first m rows are Q'W^(1/2)b, the rest the residual's.
    const double* qb = &a[m * k];
    d.beta.assign(m, 0.0);
    for (std::size_t i = m; i-- > 0;) {
        double s = qb[i];
        for (std::size_t j = i + 1; j < m; ++j) {
            s -= d.r[i * m + j] * d.beta[j];
        }
        d.beta[i] = s / d.r[i * m + i];
    }
    // The residual W^(1/2) b - Q Q' W^(1/2) b is H [0; rest], and Q is H [I; 0].
    d.e.assign(k, 0.0);
    d.q.assign(m * k, 0.0);
    for (std::size_t i = m; i < k; ++i) {
        d.e[i] = qb[i];
    }
    for (std::size_t j = 0; j < m; ++j) {
        d.q[j * k + j] = 1.0;
    }
    for (std::size_t j = m; j-- > 0;) {
        const double* v = &reflectors[j * k + j];
        reflect(v, lengths[j], &d.e[j], k - j);
        for (std::size_t c = 0; c < m; ++c) {
            reflect(v, lengths[j], &d.q[c * k + j], k - j);
        }
    }
    d.residual = dot(d.e.data(), d.e.data(), k);
    return std::isfinite(d.residual);
}

} // namespace morvex
