#include "matrix/matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using M = math::matrix<double>;
using Idx = M::size_type;
using Rows = std::vector<std::vector<double>>;

const char* const kIndex = "matrixT::operator(): Index out of range!";
const char* const kSingular = "matrixT::operator!: Inversion of a singular matrix";

// All rows the same length; an empty list gives a 0 x 0 matrix.
M make(const Rows& rows) {
    M m(static_cast<Idx>(rows.size()), rows.empty() ? 0 : static_cast<Idx>(rows[0].size()));
    for (Idx i = 0; i < m.row_count() * m.col_count(); ++i) {
        m(i / m.col_count(), i % m.col_count()) = rows[i / m.col_count()][i % m.col_count()];
    }
    return m;
}

// Size, sharing and elements as text (NaN compares equal; adding 0.0 turns -0 into 0). Reads
// through the const access only, so sharing is never disturbed.
std::string state(const M& m) {
    std::ostringstream os;
    os.precision(17);
    os << m.row_count() << 'x' << m.col_count() << " uses " << m.use_count() << ':';
    for (Idx i = 0; i < m.row_count() * m.col_count(); ++i) {
        os << ' ' << m(i / m.col_count(), i % m.col_count()) + 0.0;
    }
    return os.str();
}

// The call must throw exactly `message` and leave both matrices as they were, sharing included.
template <class F>
void expect_error(const char* message, const M& a, const M& shared, F call) {
    const std::string before = state(a) + " | " + state(shared);
    try {
        call();
        ADD_FAILURE() << "nothing thrown, expected: " << message;
    } catch (const math::matrix_error& e) {
        EXPECT_STREQ(e.what(), message);
    }
    EXPECT_EQ(state(a) + " | " + state(shared), before);
}

TEST(MatrixSharing, CopiesShareUntilWrittenAndSelfAssignmentIsHarmless) {
    M a = make({{1, 2}, {3, 4}});
    M b(a), c(1, 1);
    c = a;
    EXPECT_EQ(std::as_const(b)(1, 0), 3.0);
    EXPECT_EQ(a.use_count(), 3); // a const read never copies
    (void)a(0, 0);               // a non-const read already unshares: it may be written later
    EXPECT_EQ(a.use_count(), 1);
    a(0, 0) = 9;
    c(1, 1) = 7;
    EXPECT_EQ(state(a) + " | " + state(c), "2x2 uses 1: 9 2 3 4 | 2x2 uses 1: 1 2 3 7");
    // b was left behind alone, so it is written in place.
    const double* before = &b(0, 0);
    b(0, 1) = 5;
    EXPECT_EQ(&b(0, 0), before);
    b = std::as_const(b); // private storage: releasing before acquiring would free it
    EXPECT_EQ(state(b), "2x2 uses 1: 1 5 3 4");
}

// Every writing member applied to one of two sharing copies leaves the other as it was.
TEST(MatrixSharing, EveryWritingMemberUnsharesFirst) {
    const std::tuple<const char*, void (*)(M&), const char*> writers[] = {
        {"set_identity", [](M& a) { a.set_identity(); }, "2x2 uses 1: 1 0 0 1"},
        {"resize", [](M& a) { a.resize(3, 1); }, "3x1 uses 1: 2 4 6"},
        {"element", [](M& a) { a(1, 0) = 0; }, "3x2 uses 1: 2 3 0 5 6 7"},
        {"*= matrix",
         [](M& a) {
             a *= make({{1, 1}, {1, 1}});
         },
         "3x2 uses 1: 5 5 9 9 13 13"},
        {"*= scalar", [](M& a) { a *= 2.0; }, "3x2 uses 1: 4 6 8 10 12 14"},
        {"+=",
         [](M& a) {
             a += make({{1, 1}, {1, 1}, {1, 1}});
         },
         "3x2 uses 1: 3 4 5 6 7 8"},
        {"-=",
         [](M& a) {
             a -= make({{1, 1}, {1, 1}, {1, 1}});
         },
         "3x2 uses 1: 1 2 3 4 5 6"}};
    for (const auto& [name, write, want] : writers) {
        M a = make({{2, 3}, {4, 5}, {6, 7}});
        const M copy(a);
        write(a);
        EXPECT_EQ(state(a) + " | " + state(copy), std::string(want) + " | 3x2 uses 1: 2 3 4 5 6 7")
            << name;
    }
}

// The empty matrices of 0 x 0 and 0 x 1 share storage that no write may touch: every writing
// member gives the written one storage of its own, and new empty matrices stay empty.
TEST(MatrixSharing, WritingAnEmptyMatrixLeavesEveryOtherEmptyOneAlone) {
    const std::pair<const char*, void (*)(M&)> writers[] = {
        {"set_identity", [](M& a) { a.set_identity(); }},
        {"resize", [](M& a) { a.resize(2, 3); }},
        {"reshape", [](M& a) { a.reshape(3, 2); }},
        {"*= scalar", [](M& a) { a *= 2.0; }},
        {"+=", [](M& a) { a += M(a.row_count(), a.col_count()); }},
        {"*= matrix", [](M& a) { a *= M(a.col_count(), 0); }},
        {"invert_into", [](M& a) {
             M::scratch work;
             invert_into(make({{2}}), a, work);
         }}};
    for (const Idx cols : {0U, 1U}) {
        for (const auto& [name, write] : writers) {
            M a(0, cols);
            const M shared(a);
            write(a);
            EXPECT_EQ(state(shared), state(M(0, cols))) << name;
            EXPECT_EQ(M(0, cols).row_count(), 0U) << name;
            EXPECT_EQ(M(0, cols).col_count(), cols) << name;
        }
    }
    M grown(0, 1);
    grown.reshape(4, 1);
    grown(3, 0) = 5.0;
    EXPECT_EQ(state(grown).substr(0, 10), "4x1 uses 1");
    EXPECT_EQ(state(M(0, 1)), "0x1 uses 0:");
}

// A size whose storage cannot be counted in a size_t is refused before anything is allocated.
TEST(MatrixSharing, AnUncountableSizeThrowsBadAlloc) {
    const Idx most = static_cast<Idx>(-1);
    EXPECT_THROW(M(most, most), std::bad_alloc);
    M m(1, 1);
    EXPECT_THROW(m.reshape(most, most), std::bad_alloc);
    EXPECT_EQ(m.row_count(), 1U);
}

TEST(MatrixAccess, OutOfRangeIndexThrowsAndChangesNothing) {
    const Idx minus_one = static_cast<Idx>(-1);
    for (M a : {make({{1, 2, 3}, {4, 5, 6}}), M(0, 0), M(0, 3)}) {
        const M shared(a);
        const Idx r = a.row_count(), c = a.col_count();
        for (const auto& [i, j] :
             {std::pair<Idx, Idx>{r, 0}, {0, c}, {minus_one, 0}, {0, minus_one}}) {
            SCOPED_TRACE(state(a) + " at " + std::to_string(i) + ", " + std::to_string(j));
            expect_error(kIndex, a, shared, [&, i = i, j = j] { (void)a(i, j); });
            expect_error(kIndex, a, shared, [&, i = i, j = j] { (void)shared(i, j); });
        }
    }
}

// Growing back after set_identity shows zeros, never the elements the shrink hid; the sanitizer
// build checks that the rows beyond the square part are still freed.
TEST(MatrixResize, KeepsTopLeftBlockZeroesTheRestAndLeavesCopiesAlone) {
    const auto identity = [](const Rows& rows) {
        M m = make(rows);
        m.set_identity();
        return m;
    };
    EXPECT_EQ(state(identity({{1, 2, 3}, {4, 5, 6}})), "2x2 uses 1: 1 0 0 1");
    const std::tuple<M, Idx, Idx, const char*> cases[] = {
        {make({{1, 2}, {3, 4}}), 3, 3, "3x3 uses 1: 1 2 0 3 4 0 0 0 0"},
        {make({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}), 2, 2, "2x2 uses 1: 1 2 4 5"},
        {M(0, 0), 2, 2, "2x2 uses 1: 0 0 0 0"},
        {identity({{1, 2, 3}, {4, 5, 6}}), 2, 3, "2x3 uses 1: 1 0 0 0 1 0"},
        {identity({{1, 2}, {3, 4}, {5, 6}}), 3, 2, "3x2 uses 1: 1 0 0 1 0 0"},
        {make({{1, 2}, {3, 4}}), 2, 2, "2x2 uses 2: 1 2 3 4"}}; // no change: still shared
    for (const auto& [from, r, c, want] : cases) {
        const std::string before = state(from);
        M a = from;
        a.resize(r, c);
        EXPECT_EQ(state(a), want);
        a = M(0, 0); // also releases a copy that still shares
        EXPECT_EQ(state(from), before);
    }
}

TEST(MatrixArithmetic, SizeMismatchThrowsBeforeAnyChange) {
    // Either dimension differing is enough for a sum; neither is a product.
    for (const Rows& other : {Rows{{7}, {8}}, Rows{{7, 8, 9}}}) {
        M a = make({{1, 2, 3}, {4, 5, 6}});
        const M shared(a);
        const M b = make(other);
        expect_error("matrixT::operator*= : Inconsistent matrix sizes in multiplication!", a,
                     shared, [&] { a *= b; });
        expect_error("matrixT::operator+= : Inconsistent matrix sizes in addition!", a, shared,
                     [&] { a += b; });
        expect_error("matrixT::operator-= : Inconsistent matrix sizes in subtraction!", a, shared,
                     [&] { a -= b; });
    }
}

TEST(MatrixArithmetic, NewValueOperatorsLeaveSharedOperandsAlone) {
    const M a = make({{1, 2}, {3, 4}});
    const M a2(a); // a op a2: operands that share storage
    const M b = make({{5, 6}, {7, 8}});
    const auto check = [&](M y, const Rows& want) {
        EXPECT_EQ(state(y), state(make(want)));
        y(0, 0) = 99;
        EXPECT_EQ(state(a) + " | " + state(b), "2x2 uses 2: 1 2 3 4 | 2x2 uses 1: 5 6 7 8");
    };
    check(a * b, {{19, 22}, {43, 50}});
    check(a * a2, {{7, 10}, {15, 22}});
    check(a + a2, {{2, 4}, {6, 8}});
    check(a - b, {{-4, -4}, {-4, -4}});
    check(2.0 * a, {{2, 4}, {6, 8}});
    check(transpose(make({{1}, {2}, {3}})), {{1, 2, 3}});
    check(M(1, 0) * M(0, 1), {{0}});
    check(make({{1, 2, 3}}) * make({{1, 0}, {0, 1}, {1, 1}}), {{4, 5}});
}

TEST(MatrixArithmetic, InPlaceOperatorsWithAliasedOperands) {
    const auto check = [](auto op, const Rows& want) {
        M a = make({{2, 3}, {4, 5}});
        const M keep(a);
        op(a, keep);
        EXPECT_EQ(state(a) + " | " + state(keep), state(make(want)) + " | 2x2 uses 1: 2 3 4 5");
    };
    check([](M& a, const M&) { a *= a; }, {{16, 21}, {28, 37}}); // the true product
    check([](M& a, const M&) { a += a; }, {{4, 6}, {8, 10}});
    check([](M& a, const M& k) { a -= k; }, {{0, 0}, {0, 0}});
    check([](M& a, const M&) { a *= a(0, 0); }, {{4, 6}, {8, 10}}); // the original factor
}

TEST(MatrixInverse, InvertsWithPartialPivotingAndLeavesOperandAlone) {
    const auto check = [](const Rows& rows, const Rows& want) {
        const M a = make(rows);
        const M inverse = !a;
        EXPECT_EQ(state(inverse) + " | " + state(a), state(make(want)) + " | " + state(make(rows)));
    };
    check({{0, 1}, {1, 0}}, {{0, 1}, {1, 0}});               // needs an exchange
    check({{0, 1}, {-2, 0}}, {{0, -0.5}, {1, 0}});           // the largest pivot is negative
    check({{1e-300, 0}, {0, 1}}, {{1 / 1e-300, 0}, {0, 1}}); // no tolerance
    // A tie keeps the upper row; the lower one would round (0, 0) and (0, 1) differently.
    check({{1, 1}, {-1, 2}}, {{0.6666666666666667, -1.0 / 3}, {1.0 / 3, 1.0 / 3}});
    check({{3}}, {{1.0 / 3.0}});
    check({}, {});
}

// NaN spreads through the elimination, so any NaN must end as a singular-matrix error.
TEST(MatrixInverse, RejectsSingularAndNonSquare) {
    const double nan = std::nan("");
    for (const Rows& rows :
         {Rows{{1, 2}, {2, 4}}, Rows{{0}}, Rows{{nan}}, Rows{{nan, 1}, {2, 0}}}) {
        const M a = make(rows);
        expect_error(kSingular, a, M(a), [&] { (void)!a; });
    }
    const M a = make({{1, 2, 3}, {4, 5, 6}});
    expect_error("matrixT::operator!: Inversion of a non-square matrix", a, M(a),
                 [&] { (void)!a; });
}

// Unblocked Gauss-Jordan with partial pivoting on [a | I]: the operations the blocked elimination
// must perform on every element, in the same order.
Rows plain_inverse(const M& a) {
    const Idx n = a.row_count();
    Rows w(n, std::vector<double>(2 * n, 0.0));
    for (Idx i = 0; i < n * n; ++i) {
        w[i / n][i % n] = a(i / n, i % n);
        w[i / n][n + i / n] = 1.0;
    }
    for (Idx i = 0; i < n; ++i) {
        Idx p = i; // the first largest |w(k, i)|: a tie keeps the upper row
        for (Idx k = i; k < n; ++k) {
            p = std::fabs(w[k][i]) > std::fabs(w[p][i]) ? k : p;
        }
        std::swap(w[i], w[p]);
        const double d = w[i][i];
        for (double& x : w[i]) {
            x = x / d;
        }
        for (Idx j = 0; j < n; ++j) {
            const double f = w[j][i];
            for (Idx k = 0; j != i && k < 2 * n; ++k) {
                w[j][k] = w[j][k] - f * w[i][k];
            }
        }
    }
    return w;
}

// The dominant element of each row sits off the diagonal, so rows are exchanged, also across
// blocks of pivots.
TEST(MatrixInverse, MatchesPlainEliminationBitForBitAndInverts) {
    for (const Idx n : {1, 2, 5, 15, 16, 17, 40, 50, 100}) {
        std::mt19937 gen(n);
        std::uniform_real_distribution<double> dist(-1.0, 1.0);
        M a(n, n);
        for (Idx i = 0; i < n * n; ++i) {
            a(i / n, i % n) = dist(gen) + (i % n == (7 * (i / n) + 3) % n ? 50.0 : 0.0);
        }
        const Rows want = plain_inverse(a);
        const M inv = !a;
        const M product = a * inv;
        int differ = 0;
        double error = 0.0; // a sum rather than a maximum, so that a NaN cannot go unnoticed
        for (Idx i = 0; i < n * n; ++i) {
            const double got = inv(i / n, i % n);
            differ += std::memcmp(&got, &want[i / n][n + i % n], sizeof got) != 0 ? 1 : 0;
            error += std::fabs(product(i / n, i % n) - (i / n == i % n ? 1.0 : 0.0));
        }
        EXPECT_EQ(differ, 0) << "n = " << n;
        EXPECT_LT(error, 1e-9) << "n = " << n;
    }
}

M random_matrix(Idx rows, Idx cols, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    M a(rows, cols);
    for (Idx i = 0; i < rows * cols; ++i) {
        a(i / cols, i % cols) =
            dist(gen) + (rows == cols && i % cols == (7 * (i / cols) + 3) % cols ? 50.0 : 0.0);
    }
    return a;
}

// One scratch and one result through orders up and down: each inverse is the plain
// elimination's to the bit, whatever an earlier, larger inversion left in the buffers.
TEST(MatrixInto, InverseIntoReusedBuffersMatchesPlainEliminationBitForBit) {
    M::scratch work;
    M inverse(0, 0);
    for (const Idx n : {40, 17, 50, 1, 15, 16, 3, 2}) {
        const M a = random_matrix(n, n, n);
        const std::string operand = state(a);
        invert_into(a, inverse, work);
        const Rows want = plain_inverse(a);
        int differ = 0;
        for (Idx i = 0; i < n * n; ++i) {
            const double got = inverse(i / n, i % n);
            differ += std::memcmp(&got, &want[i / n][n + i % n], sizeof got) != 0 ? 1 : 0;
        }
        EXPECT_EQ(differ, 0) << "n = " << n;
        EXPECT_EQ(inverse.row_count(), n);
        EXPECT_EQ(state(a), operand);
    }
    // The operand itself as the result.
    M a = random_matrix(5, 5, 9);
    const M want = !a;
    invert_into(a, a, work);
    EXPECT_EQ(state(a), state(want));
}

// A singular or non-square operand throws and leaves the result as it was, sharing included.
TEST(MatrixInto, InverseIntoLeavesTheResultAloneWhenItFails) {
    M::scratch work;
    M warm(2, 2);
    invert_into(make({{2, 0}, {0, 4}}), warm, work); // the scratch now holds a used record
    M result = make({{7, 8}, {9, 10}});
    const M shared(result);
    const double nan = std::nan("");
    for (const Rows& rows : {Rows{{1, 2}, {2, 4}}, Rows{{nan, 1}, {2, 0}}, Rows{{0}}}) {
        expect_error(kSingular, result, shared, [&] { invert_into(make(rows), result, work); });
    }
    expect_error("matrixT::operator!: Inversion of a non-square matrix", result, shared, [&] {
        invert_into(make({{1, 2, 3}}), result, work);
    });
}

// Products, transposes and scalings into a result equal the operators, also when the result
// is an operand or shares its storage; a result shared with another matrix leaves that alone.
TEST(MatrixInto, ProductsTransposesAndScalingsEqualTheOperators) {
    const M a = random_matrix(3, 5, 1);
    const M b = random_matrix(5, 2, 2);
    const M sq = random_matrix(4, 4, 3);
    M result(7, 7);
    multiply_into(a, b, result);
    EXPECT_EQ(state(result), state(a * b));
    transpose_into(a, result);
    EXPECT_EQ(state(result), state(transpose(a)));
    scale_into(0.3, a, result);
    EXPECT_EQ(state(result), state(0.3 * a));
    EXPECT_THROW(multiply_into(a, a, result), math::matrix_error);

    M self = sq;
    multiply_into(self, sq, self);
    EXPECT_EQ(state(self), state(sq * sq));
    self = sq;
    multiply_into(self, self, self);
    EXPECT_EQ(state(self), state(sq * sq));
    M copy = a;
    transpose_into(a, copy);
    EXPECT_EQ(state(copy), state(transpose(a)));
    copy = a;
    scale_into(copy(0, 0), copy, copy); // the factor is read before the first element changes
    EXPECT_EQ(state(copy), state(a(0, 0) * a));
    M held = b;
    const M other(held);
    multiply_into(a, b, held);
    EXPECT_EQ(state(held), state(a * b));
    EXPECT_EQ(state(other), state(b));
}

// Reshaping within the storage a matrix holds alone keeps its rows in place; a shared matrix
// takes storage of its own and its copies keep theirs.
TEST(MatrixInto, ReshapeKeepsOwnStorageAndUnsharesShared) {
    M m = random_matrix(6, 4, 5);
    const double* first = &m(0, 0);
    m.reshape(2, 3);
    EXPECT_EQ(m.row_count(), 2U);
    EXPECT_EQ(m.col_count(), 3U);
    EXPECT_EQ(&m(0, 0), first);
    m.reshape(6, 4);
    EXPECT_EQ(&m(0, 0), first);
    m.reshape(3, 9); // wider than ever: new storage as large as both
    const double* wide = &m(0, 0);
    m.reshape(6, 9);
    EXPECT_EQ(&m(0, 0), wide);
    const M original = random_matrix(2, 2, 6);
    M shared(original);
    shared.reshape(1, 1);
    shared(0, 0) = 42.0;
    EXPECT_EQ(state(original), state(random_matrix(2, 2, 6)));
    EXPECT_EQ(shared.use_count(), 1);
}

// Swapping trades storage, sharing included: a copy of either keeps its elements and its
// count of users, and the shared empty matrices stay uncounted.
TEST(MatrixInto, SwapTradesStorageAndSharingUnchanged) {
    M a = random_matrix(3, 2, 7);
    const M copy_of_a(a);
    M b(0, 1);
    const std::string a_state = state(a);
    a.swap(b);
    EXPECT_EQ(state(a), state(M(0, 1)));
    EXPECT_EQ(state(b), a_state);
    EXPECT_EQ(copy_of_a.use_count(), 2);
    b(0, 0) = 42.0; // shared with the copy: unshared first
    EXPECT_EQ(state(copy_of_a), state(random_matrix(3, 2, 7)));
    b.swap(b);
    EXPECT_EQ(b(0, 0), 42.0);
}

} // namespace
