// Orthogonal factorisation of small dense matrices by Householder reflections,
// for least squares whose condition must not be squared.
#ifndef MORVEX_ESTIMATION_METHOD_HOUSEHOLDER_HPP
#define MORVEX_ESTIMATION_METHOD_HOUSEHOLDER_HPP

#include <cstddef>
#include <vector>

namespace morvex {

// A column-major block: element (i, j) at a[j * rows + i], columns contiguous.
struct column_block {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> a;

    // Becomes r x c; the elements are left as they were in the storage.
    void reshape(std::size_t r, std::size_t c) {
        rows = r;
        cols = c;
        if (a.size() < r * c) {
            a.resize(r * c);
        }
    }
    double& operator()(std::size_t i, std::size_t j) { return a[j * rows + i]; }
    double operator()(std::size_t i, std::size_t j) const { return a[j * rows + i]; }
};

// Q R of the first p columns of `a` with column pivoting (the longest remaining
// column first), the remaining columns (right-hand sides) multiplied by Q' too.
// Afterwards the upper triangle of the first min(rows, p) rows holds R, whose
// diagonal falls in magnitude, and column j of R belongs to column perm[j].
void householder_qr(column_block& a, std::size_t p, std::vector<std::size_t>& perm);

// x with A x = b for a square A, by the factorisation above after its rows and
// columns are scaled to largest element 1; false when a diagonal element of R
// falls to the rounding of the largest, A being singular in double precision.
bool solve_square(column_block A, std::vector<double> b, std::vector<double>& x);

} // namespace morvex

#endif
