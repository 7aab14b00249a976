#include "estimation/base/elementary.hpp"

#include "estimation/base/elementary_core.hpp"
#include "estimation/base/elementary_tables.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace morvex::elem {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// Adding and subtracting 1.5 * 2^52 rounds a double below 2^51 to an integer.
constexpr double round_to_integer = 0x1.8p52;
constexpr dd one_third = {0x1.5555555555555p-2, 0x1.5555555555555p-56};

std::uint64_t bits_of(double x) {
    std::uint64_t b = 0;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double x = 0.0;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// x * 2^n in exact steps; exact whenever the result is a normal double.
double times_two_to(double x, int n) {
    for (; n > 1023; n -= 1023) {
        x *= 0x1p1023;
    }
    for (; n < -1022; n += 1022) {
        x *= 0x1p-1022;
    }
    return x * core::power_of_two(n);
}

// v * 2^e (v > 0) rounded to a multiple of the smallest subnormal, 2^-1074.
double subnormal(dd v, int e) {
    const double a_hi = times_two_to(v.hi, e + 1074);
    if (a_hi >= 0x1p52) {
        return a_hi * 0x1p-1074; // normal after all: exact
    }
    const double a_lo = times_two_to(v.lo, e + 1074);
    // The high part rounded (ties to even; 0 <= a_hi < 2^52, so adding 2^52
    // leaves units in the last place); only where it lies exactly halfway does
    // the low part decide.
    double n = (a_hi + 0x1p52) - 0x1p52;
    const double fraction = a_hi - n; // exact
    if (fraction == 0.5 && a_lo > 0.0) {
        n += 1.0;
    } else if (fraction == -0.5 && a_lo < 0.0) {
        n -= 1.0;
    }
    return n * 0x1p-1074;
}

// The table step nearest m in [1 - 1/1024, 2 - 1/512), halves rounded up, as
// lround((m - 1) 256) gives it (a library call, where this is a few integer
// operations): 0 below 1, else m's first eight fraction bits rounded by the
// ninth, which stays below 256 since m < 2 - 1/512.
int nearest_step(double m) {
    if (m < 1.0) {
        return 0;
    }
    const std::uint64_t fraction = bits_of(m) & ((std::uint64_t{1} << 52) - 1);
    return static_cast<int>((fraction + (std::uint64_t{1} << 43)) >> 44);
}

// log(1 + r) for |r| <= 1.5 * 2^-9: r, r^2/2 and r^3/3 in double-double, the
// rest (below 2^-35 of r) in double; the series is cut after r^10 (2^-96
// absolute).
dd log1p_small(dd r) {
    const double x = r.hi;
    dd r2 = two_prod(x, x);
    r2 = fast_two_sum(r2.hi, r2.lo + 2.0 * x * r.lo);
    const dd t3 = mul(mul(r2, r), one_third);
    const double tail =
        x * x * x * x *
        (-0.25 +
         x * (0.2 + x * (-1.0 / 6 + x * (1.0 / 7 + x * (-0.125 + x * (1.0 / 9 - x * 0.1))))));
    dd s = add(r, dd{-0.5 * r2.hi, -0.5 * r2.lo});
    s = add(s, t3);
    return add(s, tail);
}

// hi + lo rounded to the nearest double where every value within `bound` of
// it rounds alike, else NaN: the fast paths' test that their result is the
// correctly rounded one (the bound exceeds their error by more than an ulp of
// lo, so that the two roundings of lo +- bound still enclose the exact value).
double rounded_if_certain(double hi, double lo, double bound) {
    const double up = hi + (lo + bound);
    const double down = hi + (lo - bound);
    return up == down ? up : nan;
}

// exp(x) in double with error below 2^-59.3 (relative) before its rounding,
// or NaN where that does not settle the rounding or the result is not a
// normal double; then the double-double path decides. Both give the same
// bits everywhere.
double exp_fast(double x) {
    using namespace tables;
    const double kd = (x * exp_inverse_step + round_to_integer) - round_to_integer;
    const double t = x - kd * exp_step1; // exact
    const double rh = t - kd * exp_step2;
    const double rl = ((t - rh) - kd * exp_step2) - kd * exp_step3;
    // exp(r) - 1 - r, below 2^-18: its rounding errors stay below 2^-69.
    const double q =
        rh * rh *
        (0.5 + rh * (1.0 / 6 + rh * (1.0 / 24 + rh * (1.0 / 120 + rh * (1.0 / 720 + rh / 5040)))));
    const int k = static_cast<int>(kd);
    const int j = ((k % 128) + 128) % 128;
    const int e = (k - j) / 128;
    if (e < -1021 || e > 1022) {
        return nan;
    }
    const dd& step = exp2_steps[j];
    // step * (1 + r + q): the product step.hi * r (below 2^-7.5) rounds by at
    // most 2^-61, and so does each of the two sums.
    const double lo = step.hi * rh + (step.hi * (rl + q) + step.lo * (1.0 + rh));
    const double y = rounded_if_certain(step.hi, lo, 0x1p-58);
    return y * core::power_of_two(e);
}

// log(x) for a normal x > 0 in double with error below 2^-67.6 (absolute),
// and 2^-60.9 (relative) for x in [1 - 2^-10, 1 + 2^-9), before its
// rounding; or NaN where that does not settle it.
double log_fast(double x) {
    const std::uint64_t b = bits_of(x);
    int e = static_cast<int>(b >> 52) - 1023;
    double m = from_bits((b & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52));
    if (m >= 2.0 - 1.0 / 512) {
        m *= 0.5;
        e += 1;
    }
    const int j = nearest_step(m);
    const tables::log_step& step = tables::log_steps[j];
    // m c - 1 exactly as a pair: m's first 43 bits and the rest each times the
    // ten-bit c are exact, and the first product is close to 1.
    const double m_head = from_bits(bits_of(m) & ~std::uint64_t{1023});
    const dd r = two_sum(m_head * step.c - 1.0, (m - m_head) * step.c);
    const double rh = r.hi;
    // log(1 + r) - r to r^7 in pairs of terms (Estrin): six dependent
    // operations where Horner's form has eleven. With |rh| <= rho =
    // 1.5 * 2^-9 and u = 2^-53, rh^2, the pair -1/2 + rh/3 (below 0.501),
    // their product and the final sum round once each, by at most
    // 0.501 u rh^2 apiece; the second part is below rho^2 / 4 = 2^-18.8 of
    // rh^2, so its few roundings add under 2^-20 u rh^2. In all poly errs by
    // at most 2.01 u rh^2 <= 2^-68.8 absolute, under 2^-60.9 of |rh| where
    // e = j = 0 (|rh| <= 2^-9): the Horner form's error, within the budget
    // below. The r^8 term left out is below 2^-70.3.
    const double r2 = rh * rh;
    const double low_pair = -0.5 + rh * (1.0 / 3);
    const double mid_pair = -0.25 + rh * 0.2;
    const double high_pair = -1.0 / 6 + rh * (1.0 / 7);
    const double poly = r2 * low_pair + (r2 * r2) * (mid_pair + r2 * high_pair);
    const double ed = e;
    const dd w = two_sum(ed * tables::ln2_hi, step.log_hi); // the product is exact
    const dd sum = two_sum(w.hi, rh);
    const double lo = w.lo + sum.lo + (r.lo + ed * tables::ln2_lo + step.log_lo + poly);
    // Away from e = j = 0 the error is absolute: poly's 2^-68.8, the r^8
    // term's 2^-70.3, the rounding of lo's last sum (below 2^-17.6, so
    // 2^-70.6), of its small terms and ln 2's own error (2^-86 each), with
    // an ulp of lo (2^-69.6) on top, below 2^-67.6 together; what scales
    // with sum.hi (the rounding of w.lo + sum.lo, the table's error) stays
    // below 2^-90 of it. At e = j = 0 the error is below 2^-60.9 of |rh|.
    // A bound of 2^-59 of |sum.hi| everywhere would leave 1 to 3 per cent of
    // arguments to the fallback; this one leaves about 0.1 per cent.
    const double bound =
        e == 0 && j == 0 ? std::fabs(sum.hi) * 0x1p-59 : 0x1p-65 + std::fabs(sum.hi) * 0x1p-80;
    return rounded_if_certain(sum.hi, lo, bound);
}

bool is_integer(double y) {
    return std::floor(y) == y;
}

bool is_odd_integer(double y) {
    return is_integer(y) && std::fabs(y) < 0x1p53 && !is_integer(0.5 * y);
}

// pow for x = +-0 or +-inf, or y = +-inf, as the C library gives it.
double pow_special(double x, double y) {
    const bool odd = is_odd_integer(y);
    if (std::isinf(y)) {
        const double ax = std::fabs(x);
        if (ax == 1.0) {
            return 1.0;
        }
        return (ax < 1.0) == (y < 0.0) ? inf : 0.0;
    }
    if (x == 0.0) {
        const double r = y < 0.0 ? inf : 0.0;
        return odd ? std::copysign(r, x) : r;
    }
    // x is +-inf
    const double r = y < 0.0 ? 0.0 : inf;
    return odd && x < 0.0 ? -r : r;
}

// x^y for finite x > 0, x != 1, and finite y, as exp(y log x) in double-double.
double pow_positive(double x, double y) {
    const dd l = core::log_dd(x);
    const double estimate = y * l.hi;
    if (estimate > 710.0) {
        return inf;
    }
    if (estimate < -746.0) {
        return 0.0;
    }
    const core::scaled_dd r = core::exp_dd(mul(l, y));
    return core::scaled(r.v, r.e);
}

// The arguments whose logarithm is not a finite number, given as the C library
// gives them: NaN and +inf pass through, a negative argument gives NaN, 0 -inf.
bool log_special(double x, double& result) {
    if (std::isnan(x) || x == inf) {
        result = x + x;
    } else if (x < 0.0) {
        result = nan;
    } else if (x == 0.0) {
        result = -inf;
    } else {
        return false;
    }
    return true;
}

} // namespace

namespace core {

double power_of_two(int e) {
    return from_bits(static_cast<std::uint64_t>(e + 1023) << 52);
}

double scaled(dd v, int e) {
    if (e >= -1022) {
        const double r = times_two_to(v.hi, e);
        if (r >= 0x1p-1022) {
            return r;
        }
    }
    return subnormal(v, e);
}

scaled_dd exp_dd(dd a) {
    using namespace tables;
    const double kd = (a.hi * exp_inverse_step + round_to_integer) - round_to_integer;
    // a - k ln2/128: the first difference is exact (the two are close), the
    // second exact as a pair, the third far below the precision kept.
    const dd r0 = two_sum(a.hi - kd * exp_step1, -kd * exp_step2);
    const dd r = fast_two_sum(r0.hi, r0.lo + (a.lo - kd * exp_step3));
    // exp(r) - 1 for |r| <= ln2/256 + tiny: r + r^2/2 in double-double, the
    // rest in double; the series is cut after r^7 (below 2^-83).
    const double x = r.hi;
    dd r2 = two_prod(x, x);
    r2 = fast_two_sum(r2.hi, r2.lo + 2.0 * x * r.lo);
    const double tail =
        x * x * x *
        (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120 + x * (1.0 / 720 + x * (1.0 / 5040)))));
    dd s = add(r, dd{0.5 * r2.hi, 0.5 * r2.lo});
    s = add(s, tail);
    const int k = static_cast<int>(kd);
    const int j = ((k % 128) + 128) % 128;
    const dd& t = exp2_steps[j];
    return {add(t, mul(t, s)), (k - j) / 128};
}

dd log_dd(double x) {
    int e = 0;
    if (x < 0x1p-1022) {
        x *= 0x1p54;
        e = -54;
    }
    const std::uint64_t b = bits_of(x);
    e += static_cast<int>(b >> 52) - 1023;
    double m = from_bits((b & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52));
    // m in [1 - 1/512, 2 - 1/512): the table step nearest m, centred on 1.
    if (m >= 2.0 - 1.0 / 512) {
        m *= 0.5;
        e += 1;
    }
    const int j = nearest_step(m);
    const tables::log_step& step = tables::log_steps[j];
    // m c - 1 exactly: the product as a pair, then a difference of close numbers.
    const dd p = two_prod(m, step.c);
    const dd r = two_sum(p.hi - 1.0, p.lo);
    dd sum = dd{step.log_hi, step.log_lo};
    if (e != 0) {
        sum = add(mul(tables::ln2, static_cast<double>(e)), sum);
    }
    return add(sum, log1p_small(r));
}

dd log_dd(dd a) {
    const dd l = log_dd(a.hi);
    return add(l, a.lo / a.hi);
}

} // namespace core

double exp(double x) {
    if (std::isnan(x)) {
        return x + x;
    }
    if (x > 710.0) {
        return inf;
    }
    if (x < -746.0) {
        return 0.0;
    }
    const double fast = exp_fast(x);
    if (!std::isnan(fast)) {
        return fast;
    }
    const core::scaled_dd r = core::exp_dd(dd{x, 0.0});
    return core::scaled(r.v, r.e);
}

double log(double x) {
    // A positive normal argument, the usual one, in a single comparison: only
    // then do its bits less those of 2^-1022 (wrapping around below them)
    // stay below the bits of 2^1023, which are those of inf less 2^52.
    if (bits_of(x) - (std::uint64_t{1} << 52) < (std::uint64_t{0x7fe} << 52)) {
        const double fast = log_fast(x);
        return std::isnan(fast) ? core::log_dd(x).hi : fast;
    }
    double special = 0.0;
    if (log_special(x, special)) {
        return special;
    }
    return core::log_dd(x).hi;
}

double log10(double x) {
    double special = 0.0;
    if (log_special(x, special)) {
        return special;
    }
    return mul(core::log_dd(x), tables::inverse_ln10).hi;
}

double pow(double x, double y) {
    if (y == 0.0 || x == 1.0) {
        return 1.0;
    }
    if (std::isnan(x) || std::isnan(y)) {
        return x + y;
    }
    if (x == 0.0 || std::isinf(x) || std::isinf(y)) {
        return pow_special(x, y);
    }
    // Squares and reciprocals, frequent and exactly rounded by IEEE itself.
    if (y == 1.0) {
        return x;
    }
    if (y == 2.0) {
        return x * x;
    }
    if (y == -1.0) {
        return 1.0 / x;
    }
    if (x < 0.0) {
        if (!is_integer(y)) {
            return nan;
        }
        const double r = pow_positive(-x, y);
        return is_odd_integer(y) ? -r : r;
    }
    return pow_positive(x, y);
}

double hypot(double x, double y) {
    double a = std::fabs(x);
    double b = std::fabs(y);
    if (a == inf || b == inf) {
        return inf;
    }
    if (std::isnan(a) || std::isnan(b)) {
        return a + b;
    }
    if (a < b) {
        std::swap(a, b);
    }
    // Below 2^-28 a, b adds less than a quarter of an ulp to a.
    if (b == 0.0 || b < a * 0x1p-28) {
        return a;
    }
    // Scaled by a power of two so that the squares are exact pairs.
    int scale = 0;
    if (a > 0x1p450) {
        scale = 600;
    } else if (b < 0x1p-450) {
        scale = -600;
    }
    a = times_two_to(a, -scale);
    b = times_two_to(b, -scale);
    const dd s = add(two_prod(a, a), two_prod(b, b));
    // One Newton step from the rounded root, with its residual computed exactly.
    const double r = std::sqrt(s.hi);
    const dd rr = two_prod(r, r);
    const double residual = ((s.hi - rr.hi) - rr.lo) + s.lo;
    return core::scaled(fast_two_sum(r, residual / (2.0 * r)), scale);
}

} // namespace morvex::elem
