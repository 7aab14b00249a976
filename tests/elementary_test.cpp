#include "estimation/base/elementary.hpp"
#include "estimation/base/elementary_core.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace morvex;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double tiny = std::numeric_limits<double>::denorm_min();

struct edge {
    std::string function;
    double x;
    double y;
    double expected; // NaN: a NaN is expected
};

double call(const edge& e) {
    if (e.function == "exp") {
        return elem::exp(e.x);
    }
    if (e.function == "log") {
        return elem::log(e.x);
    }
    if (e.function == "log10") {
        return elem::log10(e.x);
    }
    if (e.function == "pow") {
        return elem::pow(e.x, e.y);
    }
    if (e.function == "erfc") {
        return elem::erfc(e.x);
    }
    if (e.function == "lgamma") {
        return elem::lgamma(e.x);
    }
    return elem::hypot(e.x, e.y);
}

// Special arguments give what the C library gives, with the sign of a zero;
// exact cases give the exact value.
TEST(Elementary, EdgesAsTheCLibrary) {
    const std::vector<edge> edges = {
        {"exp", 0.0, 0, 1.0},
        {"exp", -0.0, 0, 1.0},
        {"exp", inf, 0, inf},
        {"exp", -inf, 0, 0.0},
        {"exp", nan, 0, nan},
        {"exp", 710.0, 0, inf},
        {"exp", 709.79, 0, inf},
        {"exp", -746.0, 0, 0.0},
        {"exp", -745.2, 0, 0.0},
        {"exp", -745.13, 0, tiny},
        {"exp", 1e-300, 0, 1.0},
        {"log", 1.0, 0, 0.0},
        {"log", 0.0, 0, -inf},
        {"log", -0.0, 0, -inf},
        {"log", -1.0, 0, nan},
        {"log", -inf, 0, nan},
        {"log", inf, 0, inf},
        {"log", nan, 0, nan},
        {"log", tiny, 0, -744.4400719213812},
        {"log10", 1000.0, 0, 3.0},
        {"log10", 1e-300, 0, -300.0},
        {"log10", 1e22, 0, 22.0},
        {"log10", 0.0, 0, -inf},
        {"log10", -2.0, 0, nan},
        {"log10", inf, 0, inf},
        {"pow", nan, 0.0, 1.0},
        {"pow", 1.0, nan, 1.0},
        {"pow", nan, 1.0, nan},
        {"pow", 2.0, nan, nan},
        {"pow", 10.0, 3.0, 1000.0},
        {"pow", 10.0, -1.0, 0.1},
        {"pow", 2.0, 0.5, std::sqrt(2.0)},
        {"pow", 2.0, -1074.0, tiny},
        {"pow", 2.0, 1024.0, inf},
        {"pow", 2.0, 1100.0, inf},
        {"pow", 0.5, -1100.0, inf},
        {"pow", 0.5, 2000.0, 0.0},
        {"pow", -2.0, 3.0, -8.0},
        {"pow", -2.0, 0.5, nan},
        {"pow", 0.0, -1.0, inf},
        {"pow", -0.0, -1.0, -inf},
        {"pow", -0.0, -2.0, inf},
        {"pow", -0.0, 3.0, -0.0},
        {"pow", -0.0, 2.5, 0.0},
        {"pow", -1.0, inf, 1.0},
        {"pow", 0.5, inf, 0.0},
        {"pow", 0.5, -inf, inf},
        {"pow", 2.0, -inf, 0.0},
        {"pow", -inf, -3.0, -0.0},
        {"pow", -inf, 3.0, -inf},
        {"pow", -inf, 2.0, inf},
        {"pow", inf, -0.5, 0.0},
        {"pow", -8.0, 1.0 / 3.0, nan},
        {"erfc", 0.0, 0, 1.0},
        {"erfc", -0.0, 0, 1.0},
        {"erfc", inf, 0, 0.0},
        {"erfc", -inf, 0, 2.0},
        {"erfc", nan, 0, nan},
        {"erfc", 30.0, 0, 0.0},
        {"erfc", -7.0, 0, 2.0},
        {"lgamma", 1.0, 0, 0.0},
        {"lgamma", 2.0, 0, 0.0},
        {"lgamma", 0.0, 0, inf},
        {"lgamma", -0.0, 0, inf},
        {"lgamma", -3.0, 0, inf},
        {"lgamma", -inf, 0, inf},
        {"lgamma", inf, 0, inf},
        {"lgamma", nan, 0, nan},
        {"lgamma", -2.5, 0, nan},
        {"lgamma", 3.0, 0, 0.6931471805599453},
        {"lgamma", 1e306, 0, inf},
        {"hypot", 3.0, 4.0, 5.0},
        {"hypot", -3.0, -4.0, 5.0},
        {"hypot", 0.0, -0.0, 0.0},
        {"hypot", -2.0, 0.0, 2.0},
        {"hypot", inf, nan, inf},
        {"hypot", nan, -inf, inf},
        {"hypot", nan, 1.0, nan},
        {"hypot", 1e308, 1e308, 1.4142135623730951e308},
        {"hypot", 3 * tiny, 4 * tiny, 5 * tiny},
        {"hypot", 1.0, 1e-300, 1.0},
    };
    for (const edge& e : edges) {
        const double got = call(e);
        const std::string where =
            e.function + "(" + std::to_string(e.x) + ", " + std::to_string(e.y) + ")";
        if (std::isnan(e.expected)) {
            EXPECT_TRUE(std::isnan(got)) << where << " gave " << got;
        } else {
            EXPECT_EQ(got, e.expected) << where;
            EXPECT_EQ(std::signbit(got), std::signbit(e.expected)) << where << " sign of zero";
        }
    }
}

// v * 2^e rounded once: where the result is subnormal the pair is rounded to a
// multiple of 2^-1074 with its low part deciding ties, never the high part
// rounded a second time.
TEST(Elementary, ScaledRoundsOnceIntoTheSubnormals) {
    struct row {
        elem::dd v;
        int e;
        double expected;
    };
    const std::vector<row> rows = {
        {{3.0, 0.0}, -1024, 0x0.cp-1022},  // exact subnormal
        {{1.5, 0.0}, -1075, tiny},         // 0.75 of the smallest: up
        {{1.0, 0.0}, -1075, 0.0},          // half of it: a tie, to even
        {{1.0, 0x1p-60}, -1075, tiny},     // just above the tie: up
        {{1.0, -0x1p-60}, -1075, 0.0},     // just below: down
        {{1.5, 0x1p-60}, -1074, 2 * tiny}, // 1.5 units and a little: 2
        {{1.5, -0x1p-60}, -1074, tiny},    // 1.5 units less a little: 1
        {{4.0, 0.0}, -1023, 0x1p-1021},    // normal after all
        {{1.0, 0.0}, 1024, inf},           // overflow
        {{1.5, 0.0}, 1023, 0x1.8p1023},    // the largest binade, exact
        {{1.0, 0.0}, -2200, 0.0},          // far below
    };
    for (const row& r : rows) {
        EXPECT_EQ(elem::core::scaled(r.v, r.e), r.expected) << r.v.hi << " * 2^" << r.e;
    }
}

// floor(log10(v)) names the decade of every power of ten the pictures' axes
// step through, which a result a little below the integer would get wrong.
TEST(Elementary, DecadeOfEveryPowerOfTen) {
    double v = 1.0;
    for (int k = 0; k <= 22; ++k) {
        EXPECT_EQ(std::floor(elem::log10(v)), k) << "1e" << k;
        EXPECT_EQ(elem::pow(10.0, k), v) << "1e" << k;
        v *= 10.0;
    }
}

// exp and log are inverse to the last bit where the round trip is exact: log
// of a correctly rounded exp(x) returns x for small integers x.
TEST(Elementary, ExpLogRoundTripOnIntegers) {
    for (int k = -20; k <= 20; ++k) {
        EXPECT_EQ(elem::log(elem::exp(k)), k) << k;
    }
}

} // namespace
