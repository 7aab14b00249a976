// A study that was read, turned into its result: the covariance (from fitted
// counts, Hamling's pseudo-counts or none), then the slope and the status.
#ifndef MORVEX_ESTIMATION_ESTIMATE_HPP
#define MORVEX_ESTIMATION_ESTIMATE_HPP

#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/study.hpp"
#include "estimation/method/trend.hpp"

namespace morvex {

// The working matrices of a study's estimation, kept for the next study.
struct estimation_buffers {
    fit_buffers fit;
    trend_buffers trend;
};

// Estimates a study that was read: fills the fit, covariance, slope and status.
void estimate(study_result& r);
void estimate(study_result& r, estimation_buffers& buffers);

} // namespace morvex

#endif
