#include "estimation/pooling/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace morvex {
namespace {

using size_type = Matrix::size_type;

double off_diagonal(const Matrix& a) {
    double s = 0.0;
    for (size_type i = 0; i < a.row_count(); ++i) {
        for (size_type j = 0; j < a.col_count(); ++j) {
            if (i != j) {
                s += a(i, j) * a(i, j);
            }
        }
    }
    return s;
}

// One rotation in the plane (i, j) that zeroes a(i, j).
// cppcheck-suppress constParameter ; v is written through its element access
void rotate(Matrix& a, Matrix& v, size_type i, size_type j) {
    const size_type n = a.row_count();
    // tan(phi) from cot(2 phi) = (a_jj - a_ii) / (2 a_ij), the root with
    // |phi| <= pi/4: square roots and divisions only, which every IEEE machine
    // rounds alike (the C libraries' atan2, sin and cos do not).
    const double theta = (a(j, j) - a(i, i)) / (2.0 * a(i, j));
    const double t =
        std::fabs(theta) > 1e150
            ? 0.5 / theta
            : std::copysign(1.0, theta) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    const double s = t * c;
    for (size_type k = 0; k < n; ++k) {
        const double ki = a(k, i);
        const double kj = a(k, j);
        a(k, i) = c * ki - s * kj;
        a(k, j) = s * ki + c * kj;
    }
    for (size_type k = 0; k < n; ++k) {
        const double ik = a(i, k);
        const double jk = a(j, k);
        a(i, k) = c * ik - s * jk;
        a(j, k) = s * ik + c * jk;
    }
    for (size_type k = 0; k < n; ++k) {
        const double ki = v(k, i);
        const double kj = v(k, j);
        v(k, i) = c * ki - s * kj;
        v(k, j) = s * ki + c * kj;
    }
}

} // namespace

eigen_decomposition symmetric_eigen(const Matrix& A) {
    const size_type n = A.row_count();
    Matrix a = zeros(n, n);
    Matrix v = zeros(n, n);
    double scale = 0.0;
    for (size_type i = 0; i < n; ++i) {
        v(i, i) = 1.0;
        for (size_type j = 0; j < n; ++j) {
            a(i, j) = A(i, j);
            scale += A(i, j) * A(i, j);
        }
    }
    for (int sweep = 0; sweep < 100 && off_diagonal(a) > 1e-32 * scale; ++sweep) {
        for (size_type i = 0; i < n; ++i) {
            for (size_type j = i + 1; j < n; ++j) {
                if (a(i, j) != 0.0) {
                    rotate(a, v, i, j);
                }
            }
        }
    }
    std::vector<size_type> order(n);
    std::iota(order.begin(), order.end(), size_type{0});
    std::sort(order.begin(), order.end(),
              [&](size_type x, size_type y) { return a(x, x) > a(y, y); });
    eigen_decomposition e;
    e.vectors = zeros(n, n);
    for (size_type k = 0; k < n; ++k) {
        e.values.push_back(a(order[k], order[k]));
        for (size_type i = 0; i < n; ++i) {
            e.vectors(i, k) = v(i, order[k]);
        }
    }
    return e;
}

Matrix positive_part(const Matrix& A) {
    const eigen_decomposition e = symmetric_eigen(A);
    const size_type n = A.row_count();
    Matrix result = zeros(n, n);
    for (size_type k = 0; k < n; ++k) {
        const double lambda = std::fmax(0.0, e.values[k]);
        for (size_type i = 0; i < n; ++i) {
            for (size_type j = 0; j < n; ++j) {
                result(i, j) += e.vectors(i, k) * lambda * e.vectors(j, k);
            }
        }
    }
    return result;
}

} // namespace morvex
