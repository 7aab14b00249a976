// The covariance of a study's log relative risks other than from fitted counts:
// from Hamling's pseudo-counts, or none between categories at all.
#ifndef MORVEX_ESTIMATION_COVARIANCE_HPP
#define MORVEX_ESTIMATION_COVARIANCE_HPP

#include "estimation/method/study.hpp"

namespace morvex {

// Counts of a pseudo-table: A0 and N0 of the reference, A_i and N_i of each
// exposed category (N a total: cases plus controls, persons or person-time).
struct pseudo_counts {
    double A0 = 0.0;
    double N0 = 0.0;
    Matrix A{0, 1};
    Matrix N{0, 1};
    int iterations = 0; // steps of the root search that solved the equations
};

// Hamling's pseudo-counts: every exposed category reproduces its log relative
// risk and its variance v_i exactly, and the pseudo-table has the crude table's
// reference share and ratio of other counts to cases. Throws estimation_error
// when no positive pseudo-counts do so (a reported interval narrower than the
// reference's share of it allows), or when several do.
pseudo_counts hamling_counts(const study& s);

// The covariance from pseudo-counts: v_i on the diagonal, the variance the
// categories share through the reference off it.
Matrix hamling_covariance(const study& s, const pseudo_counts& p);

// v_i on the diagonal, 0 elsewhere.
Matrix independent_covariance(const study& s);

} // namespace morvex

#endif
