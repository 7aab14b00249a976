#include "matrix/matrix.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using M = math::matrix<double>;
using Idx = M::size_type;
using Rows = std::vector<std::vector<double>>;

static_assert(std::is_base_of_v<std::logic_error, math::matrix_error>);

const char* const kIndex = "matrixT::operator(): Index out of range!";
const char* const kNonSquare = "matrixT::operator!: Inversion of a non-square matrix";
const char* const kSingular = "matrixT::operator!: Inversion of a singular matrix";
const char* const kMul = "matrixT::operator*= : Inconsistent matrix sizes in multiplication!";
const char* const kAdd = "matrixT::operator+= : Inconsistent matrix sizes in addition!";
const char* const kSub = "matrixT::operator-= : Inconsistent matrix sizes in subtraction!";
const double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class F>
M generate(Idx r, Idx c, F element) {
    M m(r, c);
    for (Idx i = 0; i < r; ++i) {
        for (Idx j = 0; j < c; ++j) {
            m(i, j) = element(i, j);
        }
    }
    return m;
}

// All rows the same length; an empty list gives a 0 x 0 matrix.
M make(const Rows& rows) {
    const Idx c = rows.empty() ? 0 : static_cast<Idx>(rows[0].size());
    return generate(static_cast<Idx>(rows.size()), c, [&](Idx i, Idx j) { return rows[i][j]; });
}

// Distinct elements, so a misplaced one shows.
M filled(Idx r, Idx c) {
    return generate(r, c, [](Idx i, Idx j) { return 10.0 * i + j + 1; });
}

M eye(Idx r, Idx c) {
    return generate(r, c, [](Idx i, Idx j) { return i == j ? 1.0 : 0.0; });
}

// Size, sharing and elements as text, which compares equal even for NaN elements (adding 0.0
// turns -0 into 0). Reads through the const access only, so sharing is never disturbed.
std::string state(const M& m) {
    std::ostringstream os;
    os.precision(17);
    os << m.row_count() << 'x' << m.col_count() << " uses " << m.use_count() << ':';
    for (Idx i = 0; i < m.row_count(); ++i) {
        for (Idx j = 0; j < m.col_count(); ++j) {
            os << ' ' << m(i, j) + 0.0;
        }
    }
    return os.str();
}

std::vector<std::string> states(std::initializer_list<const M*> ms) {
    std::vector<std::string> out(ms.size());
    std::transform(ms.begin(), ms.end(), out.begin(), [](const M* m) { return state(*m); });
    return out;
}

// A sum rather than a maximum, so that a NaN element cannot go unnoticed.
double abs_sum(const M& m) {
    double sum = 0.0;
    for (Idx i = 0; i < m.row_count(); ++i) {
        for (Idx j = 0; j < m.col_count(); ++j) {
            sum += std::fabs(m(i, j));
        }
    }
    return sum;
}

// The call must throw exactly `message` and leave every watched matrix as it was, sharing included.
template <class F>
void expect_error(const std::string& message, std::initializer_list<const M*> watched, F call) {
    const std::vector<std::string> before = states(watched);
    try {
        call();
        ADD_FAILURE() << "nothing thrown, expected: " << message;
    } catch (const math::matrix_error& e) {
        EXPECT_EQ(e.what(), message);
    }
    EXPECT_EQ(states(watched), before);
}

TEST(MatrixSharing, CopiesShareUntilWrittenAndSelfAssignmentIsHarmless) {
    M a = make({{1, 2}, {3, 4}});
    M b(a);
    M c(1, 1);
    c = a;
    EXPECT_EQ(std::as_const(b)(1, 0), 3.0);
    EXPECT_EQ(a.use_count(), 3); // a const read never copies
    (void)a(0, 0);               // a non-const read already unshares: it may be written later
    EXPECT_EQ(a.use_count(), 1);
    a(0, 0) = 9;
    c(1, 1) = 7;
    EXPECT_EQ(state(a), "2x2 uses 1: 9 2 3 4");
    EXPECT_EQ(state(c), "2x2 uses 1: 1 2 3 7");
    // b was left behind alone, so it is written in place.
    const double* before = &b(0, 0);
    b(0, 1) = 5;
    EXPECT_EQ(&b(0, 0), before);
    EXPECT_EQ(state(b), "2x2 uses 1: 1 5 3 4");
    M& alias = b;
    b = alias; // private storage: releasing before acquiring would free it
    EXPECT_EQ(state(b), "2x2 uses 1: 1 5 3 4");
}

TEST(MatrixAccess, OutOfRangeIndexThrowsAndChangesNothing) {
    const Idx minus_one = static_cast<Idx>(-1);
    for (const auto& [r, c] : {std::pair<Idx, Idx>{2, 3}, {0, 0}, {0, 3}, {3, 0}}) {
        M a = filled(r, c);
        const M shared(a);
        for (const auto& at :
             {std::pair<Idx, Idx>{r, 0}, {0, c}, {r, c}, {minus_one, 0}, {0, minus_one}}) {
            SCOPED_TRACE(testing::PrintToString(std::make_pair(at, state(a))));
            expect_error(kIndex, {&a, &shared}, [&] { (void)a(at.first, at.second); });
            expect_error(kIndex, {&a, &shared}, [&] { (void)shared(at.first, at.second); });
        }
    }
}

TEST(MatrixResize, KeepsTopLeftBlockZeroesTheRestInNewPrivateStorage) {
    const auto check = [](const Rows& from, Idx r, Idx c, const Rows& want) {
        M a = make(from);
        const M shared(a);
        a.resize(r, c);
        EXPECT_EQ(state(a), state(make(want)));
        EXPECT_EQ(state(shared), state(make(from)));
    };
    check({{1}, {2}, {3}}, 3, 3, {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}});
    check({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, 2, 2, {{1, 2}, {4, 5}});
    check({{1, 2}, {3, 4}}, 3, 3, {{1, 2, 0}, {3, 4, 0}, {0, 0, 0}});
    check({}, 2, 2, {{0, 0}, {0, 0}});
    M a = make({{1, 2}, {3, 4}});
    const M shared(a);
    a.resize(2, 2);
    EXPECT_EQ(state(a), "2x2 uses 2: 1 2 3 4");
}

// The sanitizer build checks that rows beyond the square part are still freed.
TEST(MatrixIdentity, BecomesIdentityOfTheSmallerDimension) {
    for (const auto& [r, c] : {std::pair<Idx, Idx>{3, 3}, {2, 3}, {3, 2}}) {
        M a = filled(r, c);
        const M shared(a);
        a.set_identity();
        EXPECT_EQ(state(a), state(eye(std::min(r, c), std::min(r, c))));
        EXPECT_EQ(state(shared), state(filled(r, c)));
        a.resize(r, c); // growing back shows zeros, never the elements the shrink hid
        EXPECT_EQ(state(a), state(eye(r, c)));
    }
}

TEST(MatrixArithmetic, SizeMismatchThrowsBeforeAnyChange) {
    M a = filled(2, 3);
    const M shared(a);
    M col2 = filled(2, 1);
    M col3 = filled(3, 1);
    // Either dimension differing is enough for a sum; each pair is also no product.
    for (const auto& p : {std::pair<M*, const M*>{&a, &col2}, {&col2, &col3}}) {
        M& x = *p.first;
        const M& y = *p.second;
        expect_error(kMul, {&x, &y, &shared}, [&] { x *= y; });
        expect_error(kMul, {&x, &y, &shared}, [&] { (void)(x * y); });
        expect_error(kAdd, {&x, &y, &shared}, [&] { x += y; });
        expect_error(kAdd, {&x, &y, &shared}, [&] { (void)(x + y); });
        expect_error(kSub, {&x, &y, &shared}, [&] { x -= y; });
        expect_error(kSub, {&x, &y, &shared}, [&] { (void)(x - y); });
    }
}

TEST(MatrixArithmetic, NewValueOperatorsLeaveOperandsAloneAndShareNothing) {
    const M a = make({{1, 2}, {3, 4}});
    const M a2(a); // a op a2: operands that share storage
    const M b = make({{5, 6}, {7, 8}});
    const auto check = [&](M y, const Rows& want) {
        EXPECT_EQ(state(y), state(make(want)));
        y(0, 0) = 99;
        EXPECT_EQ(state(a), "2x2 uses 2: 1 2 3 4");
        EXPECT_EQ(state(b), "2x2 uses 1: 5 6 7 8");
    };
    check(a * b, {{19, 22}, {43, 50}});
    check(a * a2, {{7, 10}, {15, 22}});
    check(a + b, {{6, 8}, {10, 12}});
    check(a + a2, {{2, 4}, {6, 8}});
    check(a - b, {{-4, -4}, {-4, -4}});
    check(a - a2, {{0, 0}, {0, 0}});
    check(a * 2.0, {{2, 4}, {6, 8}});
    check(2.0 * a, {{2, 4}, {6, 8}});
    check(transpose(a), {{1, 3}, {2, 4}});
    check(transpose(make({{1}, {2}, {3}})), {{1, 2, 3}});
    check(transpose(transpose(filled(2, 3))), {{1, 2, 3}, {11, 12, 13}});
    check(M(1, 0) * M(0, 1), {{0}});
    check(make({{1, 2, 3}}) * make({{1, 0}, {0, 1}, {1, 1}}), {{4, 5}});
}

TEST(MatrixArithmetic, InPlaceOperatorsWithAliasedOperands) {
    const Rows av{{2, 3}, {4, 5}};
    const auto check = [&](auto op, const Rows& want) {
        M a = make(av);
        const M keep(a);
        op(a, keep);
        EXPECT_EQ(state(a), state(make(want)));
        EXPECT_EQ(state(keep), state(make(av)));
    };
    check([](M& a, const M&) { a *= a; }, {{16, 21}, {28, 37}});
    check([](M& a, const M&) { a += a; }, {{4, 6}, {8, 10}});
    check([](M& a, const M& k) { a -= k; }, {{0, 0}, {0, 0}});
    check([](M& a, const M&) { a -= static_cast<const M&>(a); }, {{0, 0}, {0, 0}});
    // The factor is read before element (0, 0) changes.
    check([](M& a, const M&) { a *= a(0, 0); }, {{4, 6}, {8, 10}});
    check([](M& a, const M&) { a *= 0.5; }, {{1, 1.5}, {2, 2.5}});
}

TEST(MatrixInverse, InvertsWithPartialPivotingAndLeavesOperandAlone) {
    const auto check = [](const Rows& rows, const Rows& want) {
        M a = make(rows);
        const M keep(a);
        EXPECT_EQ(state(!a), state(make(want)));
        EXPECT_EQ(state(a), state(keep));
        EXPECT_EQ(a.use_count(), 2);
    };
    check({{0, 1}, {1, 0}}, {{0, 1}, {1, 0}});                 // needs an exchange
    check({{1e-300, 0}, {0, 1}}, {{1 / 1e-300, 0}, {0, 1}});   // no tolerance
    check({{2, 1}, {-2, 3}}, {{0.375, -0.125}, {0.25, 0.25}}); // tie
    check({{3}}, {{1.0 / 3.0}});
    check({}, {});
    // Exchanges at two columns; every intermediate value is exact in binary.
    check({{0, 1, -1}, {2, -1, -2}, {4, -2, -2}}, {{0.5, -1, 0.75}, {1, -1, 0.5}, {0, -1, 0.5}});
}

// NaN spreads through the elimination, so any NaN must end as a singular-matrix error.
TEST(MatrixInverse, RejectsSingularAndNonSquare) {
    const Rows singular[] = {{{1, 2}, {2, 4}},   {{2, 0}, {0, 0}},    {{0}},
                             {{kNaN}},           {{kNaN, 1}, {2, 0}}, {{kNaN, 1}, {0, 1}},
                             {{1, 2}, {3, kNaN}}};
    for (const Rows& rows : singular) {
        M a = make(rows);
        const M keep(a);
        expect_error(kSingular, {&a, &keep}, [&] { (void)!a; });
    }
    M a = filled(2, 3);
    const M keep(a);
    expect_error(kNonSquare, {&a, &keep}, [&] { (void)!a; });
}

// Several blocks of pivots; the dominant element sits off the diagonal, so rows are exchanged.
TEST(MatrixInverse, LargeWellConditionedMatrix) {
    const Idx n = 50;
    std::mt19937 gen(12345);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    const M a = generate(
        n, n, [&](Idx i, Idx j) { return dist(gen) + (j == (7 * i + 3) % n ? 50.0 : 0.0); });
    const M inv = !a;
    EXPECT_LT(abs_sum(a * inv - eye(n, n)), 1e-9);
    EXPECT_LT(abs_sum(inv * a - eye(n, n)), 1e-9);
}

} // namespace
