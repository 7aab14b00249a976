// Student's t distribution: its tail probabilities and quantiles, for the
// intervals and tests that estimate their own variance from few studies.
#ifndef MORVEX_ESTIMATION_STUDENT_T_HPP
#define MORVEX_ESTIMATION_STUDENT_T_HPP

namespace morvex {

// The regularised incomplete beta function I_x(a, b) for a, b > 0 and
// 0 <= x <= 1; NaN outside that domain.
double incomplete_beta(double x, double a, double b);

// P(T > t) for T with df > 0 degrees of freedom.
double student_t_upper_tail(double t, double df);

// P(|T| > |t|): the two-sided p-value of a t statistic.
double student_t_two_sided_p(double t, double df);

// P(F > f) for F with df1 and df2 degrees of freedom (the ratio of two mean
// squares); 1 for f <= 0.
double f_upper_tail(double f, double df1, double df2);

// The value q with P(T <= q) = p, for 0 < p < 1 and df > 0; NaN otherwise.
double student_t_quantile(double p, double df);

} // namespace morvex

#endif
