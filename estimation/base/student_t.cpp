#include "estimation/base/student_t.hpp"

#include "estimation/base/elementary.hpp"

#include <cmath>
#include <limits>

namespace morvex {
namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr int max_terms = 100000;

// The continued fraction of I_x(a, b) by the modified Lentz method; it
// converges fast for x < (a + 1) / (a + b + 2).
double beta_continued_fraction(double x, double a, double b) {
    constexpr double tiny = std::numeric_limits<double>::min() / epsilon;
    const auto clamp = [](double v) { return std::fabs(v) < tiny ? tiny : v; };
    double c = 1.0;
    double d = 1.0 / clamp(1.0 - (a + b) * x / (a + 1.0));
    double h = d;
    for (int m = 1; m < max_terms; ++m) {
        const double m2 = 2.0 * m;
        const double even = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
        d = 1.0 / clamp(1.0 + even * d);
        c = clamp(1.0 + even / c);
        h *= d * c;
        const double odd = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
        d = 1.0 / clamp(1.0 + odd * d);
        c = clamp(1.0 + odd / c);
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < epsilon) {
            break;
        }
    }
    return h;
}

// x^a (1 - x)^b / (a B(a, b)), with 1 - x given on its own so that it keeps
// its digits when x is near 1.
double beta_prefactor(double x, double one_minus_x, double a, double b) {
    return elem::exp(elem::lgamma(a + b) - elem::lgamma(a) - elem::lgamma(b) + a * elem::log(x) +
                     b * elem::log(one_minus_x)) /
           a;
}

// I_x(a, b) with both x and 1 - x exact: each tail by the fraction where it
// converges, the other by subtraction only where the result is not small.
double incomplete_beta_pair(double x, double one_minus_x, double a, double b) {
    if (x <= 0.0) {
        return 0.0;
    }
    if (one_minus_x <= 0.0) {
        return 1.0;
    }
    if (x < (a + 1.0) / (a + b + 2.0)) {
        return beta_prefactor(x, one_minus_x, a, b) * beta_continued_fraction(x, a, b);
    }
    return 1.0 - beta_prefactor(one_minus_x, x, b, a) * beta_continued_fraction(one_minus_x, b, a);
}

} // namespace

double incomplete_beta(double x, double a, double b) {
    if (!(a > 0.0) || !(b > 0.0) || !(x >= 0.0) || !(x <= 1.0) || std::isinf(a) || std::isinf(b)) {
        return nan;
    }
    return incomplete_beta_pair(x, 1.0 - x, a, b);
}

double student_t_two_sided_p(double t, double df) {
    if (!(df > 0.0) || std::isnan(t)) {
        return nan;
    }
    if (std::isinf(t)) {
        return 0.0;
    }
    // P(|T| > |t|) = I_{df / (df + t^2)}(df / 2, 1 / 2), with the complement
    // t^2 / (df + t^2) formed directly for small t.
    const double t2 = t * t;
    return incomplete_beta_pair(df / (df + t2), t2 / (df + t2), 0.5 * df, 0.5);
}

double student_t_upper_tail(double t, double df) {
    const double two_sided = student_t_two_sided_p(t, df);
    return t >= 0.0 ? 0.5 * two_sided : 1.0 - 0.5 * two_sided;
}

double f_upper_tail(double f, double df1, double df2) {
    if (!(df1 > 0.0) || !(df2 > 0.0) || std::isnan(f)) {
        return nan;
    }
    if (f <= 0.0) {
        return 1.0;
    }
    return incomplete_beta(df2 / (df2 + df1 * f), 0.5 * df2, 0.5 * df1);
}

double student_t_quantile(double p, double df) {
    if (!(p > 0.0) || !(p < 1.0) || !(df > 0.0) || std::isinf(df)) {
        return nan;
    }
    if (p == 0.5) {
        return 0.0;
    }
    // By symmetry the upper quantile of the smaller tail, found by bisection:
    // the tail falls monotonically, and bisection needs no starting guess.
    const double tail = p < 0.5 ? p : 1.0 - p;
    double low = 0.0;
    double high = 1.0;
    while (student_t_upper_tail(high, df) > tail) {
        low = high;
        high *= 2.0;
        if (std::isinf(high)) {
            return p < 0.5 ? -HUGE_VAL : HUGE_VAL;
        }
    }
    for (int i = 0; i < 2000 && high - low > 2.0 * epsilon * high; ++i) {
        const double middle = 0.5 * (low + high);
        if (middle <= low || middle >= high) {
            break;
        }
        (student_t_upper_tail(middle, df) > tail ? low : high) = middle;
    }
    const double q = 0.5 * (low + high);
    return p < 0.5 ? -q : q;
}

} // namespace morvex
