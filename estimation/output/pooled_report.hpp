// The pooled summary in the plain-text report, printed after the studies' own reports.
#ifndef MORVEX_ESTIMATION_POOLED_REPORT_HPP
#define MORVEX_ESTIMATION_POOLED_REPORT_HPP

#include "estimation/pooling/meta_analysis.hpp"
#include "estimation/pooling/pooling.hpp"

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace morvex {

// The three summaries, the heterogeneity line, the relative risk per increment D
// of dose (per unit without one), exp(D b), with its limits (for a measure of
// means the difference D b), and each study's weights. `unit` names the dose's
// unit in the heading ("RR per 10 g/day").
void print_pooled_summary(std::ostream& out, const pooled_summary& s,
                          std::optional<double> increment = std::nullopt,
                          const std::string& unit = {},
                          outcome_measure measure = outcome_measure::relative_risk);

// The three models' table: estimate, SE, limits, z, p, and tau^2 of the random ones.
void print_models(std::ostream& out, const pooled_summary& s);

// "Heterogeneity: Q = ..., df = ..., p = ..., I^2 = ...%", its line ended.
std::string heterogeneity_line(const heterogeneity& h);

// The pooling step of a run: the summary, or why there is none, then the
// studies left out with their reasons.
// `analyses`, when given, writes what stands between the summary and the list
// of studies left out (the analyses beside the pooled slope).
void print_meta_analysis(std::ostream& out, const meta_analysis& m,
                         const std::function<void(std::ostream&)>& analyses = {});

// The studies left out of the pooling, with their reasons; nothing when none.
void print_left_out(std::ostream& out, const meta_analysis& m);

} // namespace morvex

#endif
