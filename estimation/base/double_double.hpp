// Unevaluated sums of two doubles (hi + lo, |lo| <= half an ulp of hi), built
// from IEEE additions and multiplications alone: about 106 bits, the same on
// every machine, which the program's own elementary functions compute in
// before their single final rounding. No fused multiply-add is used, so the
// results do not depend on whether a machine has one.
#ifndef MORVEX_ESTIMATION_DOUBLE_DOUBLE_HPP
#define MORVEX_ESTIMATION_DOUBLE_DOUBLE_HPP

namespace morvex::elem {

struct dd {
    double hi = 0.0;
    double lo = 0.0;
};

// a + b exactly, when |a| >= |b| or a == 0 (Dekker).
inline dd fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a + b exactly, any order (Knuth).
inline dd two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a split into two halves of at most 26 significant bits each (Veltkamp);
// |a| must stay below 2^995 so that the scaled copy does not overflow.
inline dd split(double a) {
    const double t = 134217729.0 * a; // 2^27 + 1
    const double hi = t - (t - a);
    return {hi, a - hi};
}

// a * b exactly (Dekker), with the same range condition as split().
inline dd two_prod(double a, double b) {
    const double p = a * b;
    const dd x = split(a);
    const dd y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

inline dd add(dd a, dd b) {
    const dd s = two_sum(a.hi, b.hi);
    const dd t = two_sum(a.lo, b.lo);
    dd r = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(r.hi, r.lo + t.lo);
}

inline dd add(dd a, double b) {
    const dd s = two_sum(a.hi, b);
    return fast_two_sum(s.hi, s.lo + a.lo);
}

inline dd neg(dd a) {
    return {-a.hi, -a.lo};
}

inline dd mul(dd a, dd b) {
    const dd p = two_prod(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline dd mul(dd a, double b) {
    const dd p = two_prod(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

inline dd div(dd a, dd b) {
    const double q = a.hi / b.hi;
    const dd r = add(a, neg(mul(b, q)));
    return fast_two_sum(q, r.hi / b.hi);
}

} // namespace morvex::elem

#endif
