#include "estimation/pooling/positive_definite.hpp"

#include <cmath>

namespace morvex {

using size_type = Matrix::size_type;

std::optional<Matrix> lower_cholesky(const Matrix& A) {
    const size_type n = A.row_count();
    Matrix C = zeros(n, n);
    for (size_type j = 0; j < n; ++j) {
        double d = A(j, j);
        for (size_type k = 0; k < j; ++k) {
            d -= C(j, k) * C(j, k);
        }
        if (!(d > 0.0) || !std::isfinite(d)) {
            return std::nullopt;
        }
        C(j, j) = std::sqrt(d);
        for (size_type i = j + 1; i < n; ++i) {
            double s = A(i, j);
            for (size_type k = 0; k < j; ++k) {
                s -= C(i, k) * C(j, k);
            }
            C(i, j) = s / C(j, j);
        }
    }
    return C;
}

Matrix inverse_from_cholesky(const Matrix& C) {
    const size_type n = C.row_count();
    Matrix Ci = zeros(n, n); // C^-1, lower triangular
    for (size_type j = 0; j < n; ++j) {
        Ci(j, j) = 1.0 / C(j, j);
        for (size_type i = j + 1; i < n; ++i) {
            double s = 0.0;
            for (size_type k = j; k < i; ++k) {
                s -= C(i, k) * Ci(k, j);
            }
            Ci(i, j) = s / C(i, i);
        }
    }
    Matrix inverse = zeros(n, n);
    for (size_type i = 0; i < n; ++i) {
        for (size_type j = 0; j <= i; ++j) {
            double s = 0.0;
            for (size_type k = i; k < n; ++k) {
                s += Ci(k, i) * Ci(k, j);
            }
            inverse(i, j) = s;
            inverse(j, i) = s;
        }
    }
    return inverse;
}

std::vector<double> solve_lower(const Matrix& C, const Matrix& v) {
    const size_type n = v.row_count();
    std::vector<double> z(n);
    for (size_type i = 0; i < n; ++i) {
        double s = v(i, 0);
        for (size_type j = 0; j < i; ++j) {
            s -= C(i, j) * z[j];
        }
        z[i] = s / C(i, i);
    }
    return z;
}

} // namespace morvex
