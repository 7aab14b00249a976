#include "estimation/method/householder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace morvex {
namespace {

double squared_length(const column_block& a, std::size_t j, std::size_t from) {
    double s = 0.0;
    for (std::size_t i = from; i < a.rows; ++i) {
        s += a(i, j) * a(i, j);
    }
    return s;
}

} // namespace

void householder_qr(column_block& a, std::size_t p, std::vector<std::size_t>& perm) {
    perm.resize(p);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    const std::size_t steps = std::min(a.rows, p);
    for (std::size_t k = 0; k < steps; ++k) {
        std::size_t best = k;
        double longest = -1.0;
        for (std::size_t j = k; j < p; ++j) {
            const double s = squared_length(a, j, k);
            if (s > longest) {
                longest = s;
                best = j;
            }
        }
        if (best != k) {
            for (std::size_t i = 0; i < a.rows; ++i) {
                std::swap(a(i, k), a(i, best));
            }
            std::swap(perm[k], perm[best]);
        }
        const double length = std::sqrt(longest);
        if (!(length > 0.0)) {
            continue; // the rest is 0: R's remaining rows are 0 as they stand
        }
        // v = x - alpha e1 with alpha of the sign opposite to x_k, kept in column k.
        const double alpha = a(k, k) > 0.0 ? -length : length;
        a(k, k) -= alpha;
        const double vv = squared_length(a, k, k);
        for (std::size_t j = k + 1; j < a.cols; ++j) {
            double s = 0.0;
            for (std::size_t i = k; i < a.rows; ++i) {
                s += a(i, k) * a(i, j);
            }
            const double f = 2.0 * s / vv;
            for (std::size_t i = k; i < a.rows; ++i) {
                a(i, j) -= f * a(i, k);
            }
        }
        a(k, k) = alpha;
        for (std::size_t i = k + 1; i < a.rows; ++i) {
            a(i, k) = 0.0;
        }
    }
}

bool solve_square(column_block A, std::vector<double> b, std::vector<double>& x) {
    const std::size_t n = A.rows;
    std::vector<double> column(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            row = std::fmax(row, std::fabs(A(i, j)));
        }
        if (!(row > 0.0) || !std::isfinite(row)) {
            return false;
        }
        for (std::size_t j = 0; j < n; ++j) {
            A(i, j) /= row;
            column[j] = std::fmax(column[j], std::fabs(A(i, j)));
        }
        b[i] /= row;
    }
    A.reshape(n, n + 1);
    for (std::size_t j = 0; j < n; ++j) {
        if (!(column[j] > 0.0)) {
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            A(i, j) /= column[j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        A(i, n) = b[i];
    }
    std::vector<std::size_t> perm;
    householder_qr(A, n, perm);
    const double floor =
        static_cast<double>(n) * std::numeric_limits<double>::epsilon() * std::fabs(A(0, 0));
    std::vector<double> y(n, 0.0);
    for (std::size_t k = n; k-- > 0;) {
        if (!(std::fabs(A(k, k)) > floor)) {
            return false;
        }
        double s = A(k, n);
        for (std::size_t j = k + 1; j < n; ++j) {
            s -= A(k, j) * y[j];
        }
        y[k] = s / A(k, k);
    }
    x.assign(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        x[perm[k]] = y[k] / column[perm[k]];
    }
    return true;
}

} // namespace morvex
