#include "estimation/method/coefficient_fit.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace morvex {
namespace {

// A diagonal element of R below this, its columns of unit length, takes its
// column as a combination of the others: far above the rounding of a design
// that is singular (about 1e-16), far below any design a study's doses give.
constexpr double rank_tolerance = 1e-12;

bool all_finite(const Matrix& m) {
    for (Matrix::size_type i = 0; i < m.row_count(); ++i) {
        for (Matrix::size_type j = 0; j < m.col_count(); ++j) {
            if (!std::isfinite(m(i, j))) {
                return false;
            }
        }
    }
    return true;
}

coefficient_fit unusable(coefficient_fit f, std::string reason) {
    f.usable = false;
    f.reason = std::move(reason);
    f.b = Matrix(0, 1);
    f.V = Matrix(0, 0);
    return f;
}

// S = C C' into C (row-major, lower triangle); false when S is not positive definite.
bool factor(const Matrix& S, std::vector<double>& C) {
    const std::size_t n = S.row_count();
    C.assign(n * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        double d = S(j, j);
        for (std::size_t k = 0; k < j; ++k) {
            d -= C[j * n + k] * C[j * n + k];
        }
        if (!(d > 0.0) || !std::isfinite(d)) {
            return false;
        }
        C[j * n + j] = std::sqrt(d);
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = S(i, j);
            for (std::size_t k = 0; k < j; ++k) {
                s -= C[i * n + k] * C[j * n + k];
            }
            C[i * n + j] = s / C[j * n + j];
        }
    }
    return true;
}

// Column j of `block` becomes C^-1 times itself, by forward substitution.
void whiten_column(const std::vector<double>& C, column_block& block, std::size_t j) {
    const std::size_t n = block.rows;
    for (std::size_t i = 0; i < n; ++i) {
        double s = block(i, j);
        for (std::size_t k = 0; k < i; ++k) {
            s -= C[i * n + k] * block(k, j);
        }
        block(i, j) = s / C[i * n + i];
    }
}

// The whitened, column-scaled design and y, factored; F, z, the residual and
// log |S| into `r`. False when S is not positive definite.
bool reduce(const Matrix& X, const Matrix& y, const Matrix& S, coefficient_buffers& b,
            reduced_study& r) {
    const std::size_t n = X.row_count();
    const std::size_t p = X.col_count();
    r = reduced_study{};
    r.outcomes = n;
    r.p = p;
    r.m = std::min(n, p);
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            r.Xy[i] += X(k, i) * y(k, 0);
            for (std::size_t j = 0; j < p; ++j) {
                r.XX[i * p + j] += X(k, i) * X(k, j);
            }
        }
    }
    if (!factor(S, b.C)) {
        return false;
    }
    double log_det = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        log_det += elem::log(b.C[k * n + k]);
    }
    r.log_det_S = 2.0 * log_det;
    column_block& w = b.whitened;
    w.reshape(n, p + 1);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            w(i, j) = X(i, j);
        }
        w(i, p) = y(i, 0);
    }
    b.scale.assign(p, 0.0);
    for (std::size_t j = 0; j <= p; ++j) {
        whiten_column(b.C, w, j);
    }
    for (std::size_t j = 0; j < p; ++j) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            s += w(i, j) * w(i, j);
        }
        b.scale[j] = std::sqrt(s);
        for (std::size_t i = 0; s > 0.0 && i < n; ++i) {
            w(i, j) /= b.scale[j];
        }
    }
    householder_qr(w, p, b.perm);
    bool finite = std::isfinite(r.log_det_S);
    for (std::size_t i = 0; i < r.m; ++i) {
        for (std::size_t j = i; j < p; ++j) {
            r.F[i * p + b.perm[j]] = w(i, j) * b.scale[b.perm[j]];
        }
        r.z[i] = w(i, p);
    }
    double log_det_F = 0.0;
    for (std::size_t j = 0; j < r.m && r.m == p; ++j) {
        log_det_F += elem::log(std::fabs(w(j, j))) + elem::log(b.scale[j]);
    }
    r.log_det_information = 2.0 * log_det_F;
    for (std::size_t i = r.m; i < n; ++i) {
        r.residual += w(i, p) * w(i, p);
    }
    for (std::size_t k = 0; k < r.m * p; ++k) {
        finite = finite && std::isfinite(r.F[k]);
    }
    for (std::size_t k = 0; k < r.m; ++k) {
        finite = finite && std::isfinite(r.z[k]);
    }
    r.factored = finite && std::isfinite(r.residual);
    return true;
}

// b and V from R: with U = D^-1 P R^-1 (D the scales, P the pivoting), V = U U'
// and b = U z.
void from_factor(const coefficient_buffers& buf, const reduced_study& r, coefficient_fit& f) {
    const std::size_t p = r.p;
    const column_block& R = buf.whitened;
    double Rinv[most_coefficients][most_coefficients] = {};
    for (std::size_t j = p; j-- > 0;) {
        Rinv[j][j] = 1.0 / R(j, j);
        for (std::size_t i = j; i-- > 0;) {
            double s = 0.0;
            for (std::size_t k = i + 1; k <= j; ++k) {
                s += R(i, k) * Rinv[k][j];
            }
            Rinv[i][j] = -s / R(i, i);
        }
    }
    double U[most_coefficients][most_coefficients] = {};
    for (std::size_t j = 0; j < p; ++j) {
        const std::size_t row = buf.perm[j];
        for (std::size_t k = 0; k < p; ++k) {
            U[row][k] = Rinv[j][k] / buf.scale[row];
        }
    }
    f.b.reshape(p, 1);
    f.V.reshape(p, p);
    for (std::size_t i = 0; i < p; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k < p; ++k) {
            s += U[i][k] * r.z[k];
        }
        f.b(i, 0) = s;
        for (std::size_t j = 0; j < p; ++j) {
            double v = 0.0;
            for (std::size_t k = 0; k < p; ++k) {
                v += U[i][k] * U[j][k];
            }
            f.V(i, j) = v;
        }
    }
}

// The slope's own products, in its order, so that p = 1 is the slope to the bit.
void as_the_slope(const Matrix& X, const Matrix& y, const Matrix& S, coefficient_buffers& b,
                  coefficient_fit& f) {
    transpose_into(X, b.xt);
    invert_into(S, b.Sinv, b.inversion);
    multiply_into(b.xt, b.Sinv, b.xtSinv);
    multiply_into(b.xtSinv, X, b.information);
    invert_into(b.information, f.V, b.inversion);
    multiply_into(f.V, b.xt, b.Vxt);
    multiply_into(b.Vxt, b.Sinv, b.weights);
    multiply_into(b.weights, y, f.b);
}

} // namespace

int column_rank(const Matrix& X) {
    column_block w;
    w.reshape(X.row_count(), X.col_count());
    for (std::size_t j = 0; j < w.cols; ++j) {
        double s = 0.0;
        for (std::size_t i = 0; i < w.rows; ++i) {
            s += X(i, j) * X(i, j);
        }
        for (std::size_t i = 0; i < w.rows; ++i) {
            w(i, j) = s > 0.0 ? X(i, j) / std::sqrt(s) : 0.0;
        }
    }
    std::vector<std::size_t> perm;
    householder_qr(w, w.cols, perm);
    int rank = 0;
    for (std::size_t k = 0; k < std::min(w.rows, w.cols); ++k) {
        rank += std::fabs(w(k, k)) > rank_tolerance ? 1 : 0;
    }
    return rank;
}

coefficient_fit fit_coefficients(const Matrix& X, const Matrix& y, const Matrix& S) {
    coefficient_buffers buffers;
    return fit_coefficients(X, y, S, buffers);
}

coefficient_fit fit_coefficients(const Matrix& X, const Matrix& y, const Matrix& S,
                                 coefficient_buffers& buffers) {
    const auto n = static_cast<int>(X.row_count());
    const auto p = static_cast<int>(X.col_count());
    coefficient_fit f;
    if (!reduce(X, y, S, buffers, f.reduced)) {
        return unusable(std::move(f), "its covariance matrix is not positive definite");
    }
    if (n < p) {
        return unusable(std::move(f),
                        format("%d exposed %s, fewer than the %d coefficients of the trend", n,
                               n == 1 ? "category" : "categories", p));
    }
    const column_block& R = buffers.whitened;
    for (int k = 0; k < p; ++k) {
        if (!(std::fabs(R(k, k)) > rank_tolerance)) {
            return unusable(std::move(f),
                            "its doses cannot tell the trend's coefficients apart (the design "
                            "has rank below " +
                                std::to_string(p) +
                                "; for a spline: all its doses on one side of the "
                                "outer knots)");
        }
    }
    if (p == 1) {
        as_the_slope(X, y, S, buffers, f);
    } else {
        from_factor(buffers, f.reduced, f);
    }
    if (!f.reduced.factored || !all_finite(f.V) || !all_finite(f.b)) {
        return unusable(std::move(f),
                        "its coefficients or their covariance are not finite numbers");
    }
    for (Matrix::size_type j = 0; j < f.V.row_count(); ++j) {
        if (!(f.V(j, j) > 0.0)) {
            return unusable(std::move(f),
                            "the covariance of its coefficients is not positive definite");
        }
    }
    f.usable = true;
    return f;
}

} // namespace morvex
