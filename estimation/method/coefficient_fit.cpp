#include "estimation/method/coefficient_fit.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace morvex {
namespace {

// A column whose pivot falls below this share of its length is taken as a
// combination of the others.
constexpr double rank_tolerance = 1e-10;

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

coefficient_fit unusable(std::string reason) {
    coefficient_fit f;
    f.reason = std::move(reason);
    return f;
}

} // namespace

int column_rank(const Matrix& X) {
    const Matrix::size_type n = X.row_count();
    const Matrix::size_type p = X.col_count();
    // Rows of the transpose, each scaled to unit length, then eliminated.
    std::vector<std::vector<double>> rows(p, std::vector<double>(n));
    for (Matrix::size_type j = 0; j < p; ++j) {
        double length = 0.0;
        for (Matrix::size_type i = 0; i < n; ++i) {
            length = elem::hypot(length, X(i, j));
        }
        for (Matrix::size_type i = 0; i < n; ++i) {
            rows[j][i] = length > 0.0 ? X(i, j) / length : 0.0;
        }
    }
    int rank = 0;
    std::vector<bool> used(n, false);
    for (Matrix::size_type j = 0; j < p; ++j) {
        Matrix::size_type best = n;
        for (Matrix::size_type i = 0; i < n; ++i) {
            if (!used[i] && (best == n || std::fabs(rows[j][i]) > std::fabs(rows[j][best]))) {
                best = i;
            }
        }
        if (best == n || !(std::fabs(rows[j][best]) > rank_tolerance)) {
            continue;
        }
        used[best] = true;
        ++rank;
        for (Matrix::size_type k = j + 1; k < p; ++k) {
            const double f = rows[k][best] / rows[j][best];
            for (Matrix::size_type i = 0; i < n; ++i) {
                rows[k][i] -= f * rows[j][i];
            }
        }
    }
    return rank;
}

coefficient_fit fit_coefficients(const Matrix& X, const Matrix& y, const Matrix& S) {
    const auto n = static_cast<int>(X.row_count());
    const auto p = static_cast<int>(X.col_count());
    if (n < p) {
        return unusable(format("%d exposed %s, fewer than the %d coefficients of the trend", n,
                               n == 1 ? "category" : "categories", p));
    }
    if (column_rank(X) < p) {
        return unusable("its doses cannot tell the trend's coefficients apart (the design has "
                        "rank below " +
                        std::to_string(p) +
                        "; for a spline: all its doses on one side of the "
                        "outer knots)");
    }
    // The same products, in the same order, as the slope of the linear trend.
    const Matrix xt = transpose(X);
    const Matrix Sinv = !S;
    const Matrix information = (xt * Sinv) * X;
    coefficient_fit f;
    f.V = !information;
    f.b = ((f.V * xt) * Sinv) * y;
    if (!all_finite(f.V) || !all_finite(f.b)) {
        return unusable("its coefficients or their covariance are not finite numbers");
    }
    for (Matrix::size_type j = 0; j < f.V.row_count(); ++j) {
        if (!(f.V(j, j) > 0.0)) {
            return unusable("the covariance of its coefficients is not positive definite");
        }
    }
    f.usable = true;
    return f;
}

} // namespace morvex
