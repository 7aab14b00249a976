// Gauss-Jordan elimination with partial pivoting on a matrix's row table, for
// math::matrix's inversion: plain for the small orders of most fits, in blocks
// of pivots beyond, with exactly the same operations on every element.
#ifndef MORVEX_MATRIX_GAUSS_JORDAN_HPP
#define MORVEX_MATRIX_GAUSS_JORDAN_HPP

#include "matrix/matrix_error.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace math {
namespace detail {

// Pivots eliminated together: a block's pending row updates are applied
// while each target row stays in cache.
constexpr std::uint32_t block = 16;

// The elimination's own rows and multipliers, sized by its order.
template <class T>
struct elimination_buffers {
    using size_type = std::uint32_t;
    std::vector<T> pivot_w;
    std::vector<T> pivot_r;
    std::vector<T> factor;        // per row position
    std::vector<size_type> first; // first pending pivot of each row position

    // As freshly made vectors would be: every element 0.
    void size_for(size_type n) {
        const std::size_t length = static_cast<std::size_t>(block) * n;
        pivot_w.assign(length, T(0));
        pivot_r.assign(length, T(0));
        factor.assign(length, T(0));
        first.assign(n, size_type(0));
    }
};

template <class T>
void divide_row(T* row, T d, std::uint32_t n) {
    for (std::uint32_t k = 0; k < n; ++k) {
        row[k] = row[k] / d;
    }
}

template <class T>
void subtract_multiple(T* target, const T* source, T f, std::uint32_t n) {
    for (std::uint32_t k = 0; k < n; ++k) {
        target[k] = target[k] - f * source[k];
    }
}

// Updates of a block's pivots not yet applied outside its columns.
template <class T>
struct deferred {
    const T* pivot_w;
    const T* pivot_r;
    std::uint32_t i0;
    std::uint32_t i1;
    std::uint32_t n;

    void apply(T* wj, T* rj, const T* factor, std::uint32_t from, std::uint32_t to) const {
        for (std::uint32_t t = from; t < to; ++t) {
            const T f = factor[t];
            const T* pw = pivot_w + static_cast<std::size_t>(t) * n;
            subtract_multiple(wj, pw, f, i0);
            subtract_multiple(wj + i1, pw + i1, f, n - i1);
            subtract_multiple(rj, pivot_r + static_cast<std::size_t>(t) * n, f, n);
        }
    }
};

// Row of the largest absolute value in column i at or below the diagonal;
// the upper row wins a tie, and zeros and NaNs are never chosen.
template <class T>
std::uint32_t pivot_row(T* const* w, std::uint32_t i, std::uint32_t n) {
    T best = T(-1);
    std::uint32_t chosen = i;
    for (std::uint32_t k = i; k < n; ++k) {
        const T a = std::fabs(w[k][i]);
        if (a > best && a != T(0)) {
            best = a;
            chosen = k;
        }
    }
    return chosen;
}

// The plain elimination, for orders within one block of pivots: r undergoes
// the same operations as in gauss_jordan, and w those of its columns that a
// later pivot reads (right of the pivot's; the others no longer matter).
template <class T, class Order>
void gauss_jordan_plain(T** w, T** r, Order order) {
    const std::uint32_t n = order;
    for (std::uint32_t s = 0; s < n; ++s) {
        const std::uint32_t p = pivot_row(w, s, n);
        if (w[p][s] == T(0) || std::isnan(w[p][s])) {
            throw matrix_error("matrixT::operator!: Inversion of a singular matrix");
        }
        std::swap(w[s], w[p]);
        std::swap(r[s], r[p]);
        T* const ws = w[s] + s + 1;
        T* const rs = r[s];
        const T d = w[s][s];
        const std::uint32_t right = n - s - 1;
        divide_row(ws, d, right);
        divide_row(rs, d, n);
        for (std::uint32_t j = 0; j < n; ++j) {
            if (j != s) {
                const T f = w[j][s];
                subtract_multiple(w[j] + s + 1, ws, f, right);
                subtract_multiple(r[j], rs, f, n);
            }
        }
    }
}

// The orders of most tables' fits, with the order known to the compiler: its
// loops are unrolled, and the short rows lose their loop overhead.
template <class T>
void plain_of_order(T** w, T** r, std::uint32_t n) {
    switch (n) {
    case 1:
        return gauss_jordan_plain(w, r, std::integral_constant<std::uint32_t, 1>());
    case 2:
        return gauss_jordan_plain(w, r, std::integral_constant<std::uint32_t, 2>());
    case 3:
        return gauss_jordan_plain(w, r, std::integral_constant<std::uint32_t, 3>());
    case 4:
        return gauss_jordan_plain(w, r, std::integral_constant<std::uint32_t, 4>());
    case 5:
        return gauss_jordan_plain(w, r, std::integral_constant<std::uint32_t, 5>());
    case 6:
        return gauss_jordan_plain(w, r, std::integral_constant<std::uint32_t, 6>());
    default:
        return gauss_jordan_plain(w, r, n);
    }
}

// Gauss-Jordan elimination of w, applying the same steps to r, in blocks of
// pivots. Every element undergoes exactly the operations of the plain
// algorithm, in the same order: for pivot s, divide row s by w(s, s), then
// for every other row j, w(j, k) = w(j, k) - w(j, s) * w(s, k) (and so for
// r). Only the columns of the current block of pivots are updated at once
// (the pivot search and the multipliers need them); the rest of each row
// is updated at the end of the block, from copies of the pivot rows taken
// right after their division, or when the row becomes a pivot row itself.
template <class T>
void gauss_jordan(T** w, T** r, std::uint32_t n, elimination_buffers<T>& buffers) {
    buffers.size_for(n);
    // Plain pointers held here: through the vectors, every exchange of two
    // row pointers would make the compiler load the buffers' anew.
    T* const pivot_w = buffers.pivot_w.data();
    T* const pivot_r = buffers.pivot_r.data();
    T* const factor = buffers.factor.data();
    std::uint32_t* const first = buffers.first.data();
    for (std::uint32_t i0 = 0; i0 < n; i0 += block) {
        const std::uint32_t i1 = std::min<std::uint32_t>(n, i0 + block);
        std::fill(first, first + n, std::uint32_t(0));
        const deferred<T> later{pivot_w, pivot_r, i0, i1, n};
        for (std::uint32_t s = i0; s < i1; ++s) {
            const std::uint32_t t = s - i0;
            const std::uint32_t p = pivot_row(w, s, n);
            if (w[p][s] == T(0) || std::isnan(w[p][s])) {
                throw matrix_error("matrixT::operator!: Inversion of a singular matrix");
            }
            if (p != s) {
                // Rows are separate blocks: exchange pointers, and the
                // updates still pending for each row travel with it.
                std::swap(w[s], w[p]);
                std::swap(r[s], r[p]);
                std::swap_ranges(&factor[std::size_t(s) * block],
                                 &factor[std::size_t(s) * block] + t,
                                 &factor[std::size_t(p) * block]);
            }
            later.apply(w[s], r[s], &factor[std::size_t(s) * block], 0, t);
            first[s] = t + 1;
            const T d = w[s][s];
            divide_row(w[s], d, n);
            divide_row(r[s], d, n);
            std::copy(w[s], w[s] + n, &pivot_w[std::size_t(t) * n]);
            std::copy(r[s], r[s] + n, &pivot_r[std::size_t(t) * n]);
            for (std::uint32_t j = 0; j < n; ++j) {
                if (j == s) {
                    continue;
                }
                const T f = w[j][s];
                factor[std::size_t(j) * block + t] = f;
                subtract_multiple(w[j] + i0, w[s] + i0, f, i1 - i0);
            }
        }
        for (std::uint32_t j = 0; j < n; ++j) {
            later.apply(w[j], r[j], &factor[std::size_t(j) * block], first[j], i1 - i0);
        }
    }
}

// w reduced to the identity, r undergoing the same steps: plainly within one
// block of pivots, in blocks beyond.
template <class T>
void eliminate(T** w, T** r, std::uint32_t n, elimination_buffers<T>& buffers) {
    if (n <= block) {
        plain_of_order(w, r, n);
    } else {
        gauss_jordan(w, r, n, buffers);
    }
}

} // namespace detail
} // namespace math

#endif
