// The program's own exponential, logarithm, power, erfc, log-gamma and hypot.
//
// The C libraries round these differently from one another (and one library
// differently on machines with and without fused multiply-add), so a number
// the program prints to full precision could change its last digit from one
// machine or build to the next, the WebAssembly build among them. These
// functions use only IEEE additions, multiplications, divisions and square
// roots, carry about 106 bits through the computation and round once at the
// end: every IEEE-754 machine gives the same bits, and they are the correctly
// rounded ones except where the exact value lies within about 2^-70 of a
// rounding boundary. Special arguments (zeros, infinities, NaN, overflow,
// underflow, subnormals) give what the C library gives.
#ifndef MORVEX_ESTIMATION_ELEMENTARY_HPP
#define MORVEX_ESTIMATION_ELEMENTARY_HPP

namespace morvex::elem {

// The double nearest to pi.
constexpr double pi = 0x1.921fb54442d18p+1;

double exp(double x);
double log(double x);
double log10(double x);
double pow(double x, double y);
double erfc(double x);
// log |Gamma(x)|, for x > 0 (and +inf at 0 and the negative integers; NaN for
// the other negative arguments, which the program never has).
double lgamma(double x);
// sqrt(x^2 + y^2) without overflow or underflow on the way.
double hypot(double x, double y);

} // namespace morvex::elem

#endif
