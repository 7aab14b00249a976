// The two factorisations every least squares and every GLS fit stands on: the
// Cholesky factor (and what is solved with it) and the pivoted Householder QR
// with its square solver. Expected figures are worked by hand or exact
// fractions in the comments, never taken from the code.
#include "estimation/method/householder.hpp"
#include "estimation/pooling/positive_definite.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace morvex;

namespace {

Matrix matrix_of(const std::vector<std::vector<double>>& rows) {
    Matrix m = zeros(rows.size(), rows.empty() ? 0 : rows[0].size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            m(i, j) = rows[i][j];
        }
    }
    return m;
}

column_block block_of(const std::vector<std::vector<double>>& rows) {
    column_block b;
    b.reshape(rows.size(), rows[0].size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            b(i, j) = rows[i][j];
        }
    }
    return b;
}

std::vector<std::vector<double>> hilbert(std::size_t n) {
    std::vector<std::vector<double>> h(n, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            h[i][j] = 1.0 / static_cast<double>(i + j + 1);
        }
    }
    return h;
}

} // namespace

// [[4,2,-2],[2,10,2],[-2,2,5]] = C C' with C = [[2,0,0],[1,3,0],[-1,1,sqrt 3]]
// (c32 = (2 - (-1)(1)) / 3, c33 = sqrt(5 - 1 - 1)). Anything not positive
// definite, or not finite, has no factor: a zero pivot is refused, not divided by.
TEST(LowerCholesky, FactorsPositiveDefiniteMatricesAndRefusesTheRest) {
    const Matrix A = matrix_of({{4, 2, -2}, {2, 10, 2}, {-2, 2, 5}});
    const auto C = lower_cholesky(A);
    ASSERT_TRUE(C);
    const double want[3][3] = {{2, 0, 0}, {1, 3, 0}, {-1, 1, std::sqrt(3.0)}};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_NEAR((*C)(i, j), want[i][j], 1e-15) << i << "," << j;
        }
    }
    // C z = (2, 7, 1): z1 = 1, z2 = (7 - 1) / 3 = 2, z3 = (1 + 1 - 2) / sqrt 3 = 0.
    const std::vector<double> z = solve_lower(*C, matrix_of({{2}, {7}, {1}}));
    EXPECT_NEAR(z[0], 1, 1e-15);
    EXPECT_NEAR(z[1], 2, 1e-15);
    EXPECT_NEAR(z[2], 0, 1e-15);
    const struct {
        const char* what;
        std::vector<std::vector<double>> rows;
    } refused[] = {{"indefinite", {{1, 2}, {2, 1}}},
                   {"negative definite", {{-1, 0}, {0, -2}}},
                   {"semidefinite, a zero pivot", {{1, 1}, {1, 1}}},
                   {"zero", {{0}}},
                   {"not a number", {{1, 0}, {0, NAN}}},
                   {"infinite", {{HUGE_VAL, 0}, {0, 1}}},
                   {"positive diagonal, indefinite at the last step",
                    {{1, 0.9, 0.9}, {0.9, 1, 0}, {0.9, 0, 1}}}};
    for (const auto& r : refused) {
        EXPECT_FALSE(lower_cholesky(matrix_of(r.rows))) << r.what;
    }
}

// The inverse of the 5 x 5 Hilbert matrix is the integer matrix below (exact
// fractions, Gauss-Jordan); its condition number, 4.8e5, allows ~1e-10.
TEST(LowerCholesky, InvertsTheHilbertMatrixToItsIntegerInverse) {
    const double inverse[5][5] = {{25, -300, 1050, -1400, 630},
                                  {-300, 4800, -18900, 26880, -12600},
                                  {1050, -18900, 79380, -117600, 56700},
                                  {-1400, 26880, -117600, 179200, -88200},
                                  {630, -12600, 56700, -88200, 44100}};
    const auto C = lower_cholesky(matrix_of(hilbert(5)));
    ASSERT_TRUE(C);
    const Matrix got = inverse_from_cholesky(*C);
    column_block H = block_of(hilbert(5));
    for (std::size_t j = 0; j < 5; ++j) {
        std::vector<double> e(5, 0.0);
        e[j] = 1.0;
        std::vector<double> x;
        ASSERT_TRUE(solve_square(H, e, x));
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_NEAR(got(i, j) / inverse[i][j], 1.0, 1e-9) << i << "," << j;
            EXPECT_NEAR(got(i, j), got(j, i), 0.0);
            EXPECT_NEAR(x[i] / inverse[i][j], 1.0, 1e-9) << "solve_square " << i << "," << j;
        }
    }
}

// Rows and columns scaled a hundred decades apart solve as the unscaled system
// [[1,2],[3,4]] x = (5,6), x = (-4, 4.5); singular ones, in exact or double
// arithmetic, and zero rows or columns are refused rather than solved.
TEST(SolveSquare, ScalesAwayUnitsAndRefusesSingularSystems) {
    const struct {
        const char* what;
        std::vector<std::vector<double>> A;
        std::vector<double> b;
        std::vector<double> x; // empty: refused
    } cases[] = {
        {"one by one", {{0.5}}, {3}, {6}},
        {"a permutation", {{0, 1}, {1, 0}}, {2, 3}, {3, 2}},
        {"plain", {{1, 2}, {3, 4}}, {5, 6}, {-4, 4.5}},
        {"a row 1e-200 small", {{1e-200, 2e-200}, {3, 4}}, {5e-200, 6}, {-4, 4.5}},
        {"a column 1e150 large", {{1e150, 2}, {3e150, 4}}, {5, 6}, {-4e-150, 4.5}},
        {"singular", {{1, 2}, {2, 4}}, {1, 2}, {}},
        {"singular in double", {{1, 1}, {1, 1 + 1e-17}}, {1, 2}, {}},
        {"a zero row", {{1, 2}, {0, 0}}, {1, 0}, {}},
        {"a zero column", {{1, 0}, {2, 0}}, {1, 2}, {}},
        {"not a number", {{NAN, 1}, {1, 1}}, {1, 2}, {}},
        {"rank 2 of 3", {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {1, 2, 3}, {}},
    };
    for (const auto& c : cases) {
        std::vector<double> x;
        const bool solved = solve_square(block_of(c.A), c.b, x);
        ASSERT_EQ(solved, !c.x.empty()) << c.what;
        for (std::size_t i = 0; i < c.x.size(); ++i) {
            EXPECT_NEAR(x[i] / c.x[i], 1.0, 1e-14) << c.what << " x" << i;
        }
    }
}

// Least squares of y = (1, 3, 2, 6) on (1, t), t = 0..3, through R and Q'y:
// b = Sxy / Sxx = 7 / 5 = 1.4, a = 3 - 1.5 b = 0.9, residual sum of squares
// 0.01 + 0.49 + 2.89 + 0.81 = 4.2, the squared length of Q'y past row 2.
TEST(HouseholderQr, GivesLeastSquaresAndRevealsRank) {
    column_block a = block_of({{1, 0, 1}, {1, 1, 3}, {1, 2, 2}, {1, 3, 6}});
    std::vector<std::size_t> perm;
    householder_qr(a, 2, perm);
    EXPECT_EQ(perm, (std::vector<std::size_t>{1, 0})); // |t| = sqrt 14 > |1| = 2: t first
    const double intercept = a(1, 2) / a(1, 1);
    const double slope = (a(0, 2) - a(0, 1) * intercept) / a(0, 0);
    EXPECT_NEAR(intercept, 0.9, 1e-14);
    EXPECT_NEAR(slope, 1.4, 1e-14);
    EXPECT_NEAR(a(2, 2) * a(2, 2) + a(3, 2) * a(3, 2), 4.2, 1e-14);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(a(i, 0), 0.0) << i;
    }
    // Columns 1, t, 2t + 1: rank 2; R's diagonal falls, the last to rounding.
    column_block d = block_of({{1, 0, 1}, {1, 1, 3}, {1, 2, 5}, {1, 3, 7}});
    householder_qr(d, 3, perm);
    EXPECT_EQ(perm[0], 2u);
    EXPECT_GE(std::fabs(d(0, 0)), std::fabs(d(1, 1)));
    EXPECT_LT(std::fabs(d(2, 2)), 1e-14 * std::fabs(d(0, 0)));
    // |column| is kept by Q': column 2t + 1 has length sqrt 84.
    EXPECT_NEAR(std::fabs(d(0, 0)), std::sqrt(84.0), 1e-13);
}
