// erfc and log-gamma in double-double, on the kernels of elementary.cpp.
#include "estimation/base/elementary.hpp"

#include "estimation/base/elementary_core.hpp"
#include "estimation/base/elementary_tables.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace morvex::elem {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The piece of the erfcx table whose interval holds a in [0, 32): width 1/32
// about k/32 below 1, then sixteen pieces in each binade.
const tables::erfc_piece& erfc_piece_for(double a) {
    if (a < 1.0) {
        return tables::erfc_pieces[std::lround(a * 32.0)];
    }
    std::uint64_t b = 0;
    std::memcpy(&b, &a, sizeof b);
    const auto binade = static_cast<int>(b >> 52) - 1023;
    const auto sixteenth = static_cast<int>((b >> 48) & 15);
    return tables::erfc_pieces[33 + 16 * binade + sixteenth];
}

// exp(a^2) erfc(a) for 0 <= a < 32 by the Taylor polynomial of its piece: the
// terms from t^5 on (below 2^-25 of the value) in double, the first five in
// double-double.
dd erfcx(double a) {
    const tables::erfc_piece& piece = erfc_piece_for(a);
    const double t = a - piece.center; // exact: a and the centre are close
    double p = piece.hi[15];
    for (int n = 14; n >= 5; --n) {
        p = p * t + piece.hi[n];
    }
    dd acc{p, 0.0};
    for (int n = 4; n >= 0; --n) {
        acc = add(mul(acc, t), dd{piece.hi[n], piece.lo[n]});
    }
    return acc;
}

// log Gamma(1 + t) (near_one) or log Gamma(2 + t) for |t| < 2^-18, by their
// Taylor series: the first two terms in double-double.
dd lgamma_series(double t, const dd& first, const double* c) {
    const double tail =
        t * t * t * (c[1] + t * (c[2] + t * (c[3] + t * (c[4] + t * (c[5] + t * c[6])))));
    const dd second = mul(two_prod(t, t), c[0]);
    return add(add(mul(first, t), second), tail);
}

dd lgamma_near_one(double t) {
    return lgamma_series(t, neg(tables::euler_gamma), tables::lgamma_near_one);
}

dd lgamma_near_two(double t) {
    return lgamma_series(t, tables::one_minus_euler_gamma, tables::lgamma_near_two);
}

// log Gamma(z) for z >= 16 by Stirling's series, cut after z^-21 (below 2^-80
// of the value).
dd lgamma_stirling(dd z) {
    const dd log_z = core::log_dd(z);
    dd sum = add(mul(add(z, -0.5), log_z), neg(z));
    sum = add(sum, tables::half_log_two_pi);
    sum = add(sum, div(tables::one_twelfth, z));
    const double u = 1.0 / z.hi;
    const double w = u * u;
    const double* s = tables::stirling;
    double tail = s[9];
    for (int k = 8; k >= 0; --k) {
        tail = tail * w + s[k];
    }
    return add(sum, u * w * tail);
}

// log Gamma(x) = log Gamma(x + n) - log(x (x + 1) ... (x + n - 1)), x + n >= 16.
dd lgamma_shifted(double x) {
    const int n = static_cast<int>(16.0 - x) + 1;
    dd product{x, 0.0};
    for (int i = 1; i < n; ++i) {
        product = mul(product, two_sum(x, i));
    }
    return add(lgamma_stirling(two_sum(x, n)), neg(core::log_dd(product)));
}

} // namespace

double erfc(double x) {
    if (std::isnan(x)) {
        return x + x;
    }
    // Beyond these erfc rounds to 2 and to 0.
    if (x < -6.0) {
        return 2.0;
    }
    if (x > 27.3) {
        return 0.0;
    }
    const double a = std::fabs(x);
    const dd a2 = two_prod(a, a);
    const core::scaled_dd g = core::exp_dd(neg(a2));
    const dd v = mul(erfcx(a), g.v);
    if (x >= 0.0) {
        return core::scaled(v, g.e);
    }
    // erfc(x) = 2 - erfc(|x|); here |x| <= 6, so the scaling is exact.
    const double scale = core::power_of_two(g.e);
    return add(dd{2.0, 0.0}, dd{-v.hi * scale, -v.lo * scale}).hi;
}

double lgamma(double x) {
    if (std::isnan(x)) {
        return x + x;
    }
    if (x <= 0.0) {
        if (std::floor(x) == x) {
            return inf; // a pole
        }
        return nan;
    }
    if (x == inf) {
        return inf;
    }
    if (x < 0x1p-18) {
        return add(lgamma_near_one(x), neg(core::log_dd(x))).hi;
    }
    if (std::fabs(x - 1.0) < 0x1p-18) {
        return lgamma_near_one(x - 1.0).hi;
    }
    if (std::fabs(x - 2.0) < 0x1p-18) {
        return lgamma_near_two(x - 2.0).hi;
    }
    if (x < 16.0) {
        return lgamma_shifted(x).hi;
    }
    if (x < 0x1p900) {
        return lgamma_stirling(dd{x, 0.0}).hi;
    }
    // x (log x - 1), scaled down for the exact products; the other terms of
    // the series are below 2^-890 of it.
    const dd m = add(core::log_dd(x), -1.0);
    return mul(m, x * 0x1p-200).hi * 0x1p200;
}

} // namespace morvex::elem
