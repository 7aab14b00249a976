// Tail probabilities of the standard normal and chi-square distributions.
#ifndef MORVEX_ESTIMATION_DISTRIBUTIONS_HPP
#define MORVEX_ESTIMATION_DISTRIBUTIONS_HPP

namespace morvex {

// The 97.5th percentile of the standard normal distribution: the multiplier of
// every 95% Wald interval the program forms (published limits were made with
// 1.96 and are read back with it).
constexpr double z_975 = 1.959963984540054;

// P(Z > z) for a standard normal Z.
double normal_upper_tail(double z);

// P(|Z| > |z|): the two-sided p-value of a z statistic.
double normal_two_sided_p(double z);

// The regularised upper incomplete gamma function Q(a, x) = Gamma(a, x) / Gamma(a),
// for a > 0 and x >= 0; NaN outside that domain.
double gamma_q(double a, double x);

// P(X > x) for X chi-square with df > 0 degrees of freedom; 1 for x <= 0.
double chi_square_upper_tail(double x, double df);

} // namespace morvex

#endif
