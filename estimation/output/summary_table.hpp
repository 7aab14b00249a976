// The summary table (--summary=FILE.csv): one row per analysis and model, one
// figure per column, numbers only in the numeric columns.
#ifndef MORVEX_ESTIMATION_SUMMARY_TABLE_HPP
#define MORVEX_ESTIMATION_SUMMARY_TABLE_HPP

#include "estimation/output/paper_report.hpp"
#include "estimation/pooling/curve_analysis.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <string>

namespace morvex {

// The header names the columns:
// analysis  overall, knapp-hartung, subgroup, subgroup-difference, leave-one-out, egger
// subgroup, left_out_input, left_out_id  which subgroup, which study left out
// model  fixed, dl, reml (ols for Egger's regression)
// k, estimate, se, lower, upper, z, t, t_df, p, tau2, Q, df, p_Q, I2, pi_lower,
// pi_upper, increment, rr, rr_lower, rr_upper: numbers, or empty
// note  why a figure is missing, or a caution
// With a pooled trend (`curve`), further rows and, at the end, the columns
// coefficient, chi2, chi2_df, dose, reference_dose:
// trend-heterogeneity  Q, df, p_Q, I2 of the studies about the fixed effect
// trend  one row per method (fixed, moments, reml) and coefficient: estimate,
//        se, limits, z, p, and tau2 the coefficient's between-study variance
// trend-nonlinearity, trend-overall  Wald tests: chi2, chi2_df, p
// trend-prediction  one row per method and dose: the log RR at dose against
//        reference_dose (estimate, se, limits, z, p) and rr, rr_lower, rr_upper
// With highest versus lowest, meta-regression, trim-and-fill, the rank test,
// goodness of fit or subgroup curves, the trend's columns and after them
// term, study_input, study_id, F, F_df1, F_df2, R2, k0, side (see the README).
std::string summary_table(const meta_analysis& m, const curve_result* curve = nullptr,
                          const trend_extras& extras = {});

} // namespace morvex

#endif
