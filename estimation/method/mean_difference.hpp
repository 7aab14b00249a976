// A table of means turned into what the trend needs: each exposed category's
// difference from the reference (the mean difference, or Hedges' standardised
// one) and their covariance, which the shared reference group makes.
#ifndef MORVEX_ESTIMATION_MEAN_DIFFERENCE_HPP
#define MORVEX_ESTIMATION_MEAN_DIFFERENCE_HPP

#include "estimation/method/study.hpp"

namespace morvex {

// Fills L (the differences), v (their variances) and lo, hi (their 95%
// limits, L -/+ 1.96 sqrt(v)) of a study of means, for its measure:
// md:  y_j = m_j - m_0, var = sd_j^2/n_j + sd_0^2/n_0;
// smd: with nu = N - C over its C categories and N people, the pooled
//      s^2 = sum (n_c - 1) sd_c^2 / nu and J = 1 - 3 / (4 nu - 1),
//      d_j = J (m_j - m_0) / s, var = 1/n_j + 1/n_0 + d_j^2 / (2 nu).
void mean_differences(study& s);

// Their covariance: the variances on the diagonal; off it what two
// categories share through the reference, sd_0^2/n_0 for the MD, and
// 1/n_0 + d_j d_k / (2 nu) for the SMD (Gleser and Olkin).
Matrix mean_difference_covariance(const study& s);

// The SMD's standardiser: the pooled SD, its degrees of freedom nu and
// Hedges' correction J.
struct pooled_sd {
    double s = 0.0;
    double df = 0.0;
    double J = 1.0;
};
pooled_sd standardiser(const study& s);

} // namespace morvex

#endif
