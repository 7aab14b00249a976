// Analyses beside the pooled slope: the prediction interval, the Knapp-Hartung
// interval, leave-one-out pooling and Egger's test for small-study effects.
#ifndef MORVEX_ESTIMATION_SENSITIVITY_HPP
#define MORVEX_ESTIMATION_SENSITIVITY_HPP

#include "estimation/pooling/pooling.hpp"

#include <optional>
#include <string>
#include <vector>

namespace morvex {

// A summary and its limits from Student's t rather than the normal distribution.
struct t_interval {
    double estimate = 0.0;
    double se = 0.0;
    double lower = 0.0; // 95% limits
    double upper = 0.0;
    double t = 0.0;
    double p = 0.0; // two-sided
    int df = 0;
};

// Where the slope of a new study would lie, for a random-effects summary of k
// studies: mu +- t(0.975, k - 2) sqrt(tau^2 + SE(mu)^2). Empty below 3 studies.
struct prediction_interval {
    double lower = 0.0;
    double upper = 0.0;
    int df = 0;
};
std::optional<prediction_interval> predict(const pooled_estimate& e, std::size_t k);

// Why a prediction interval, leave-one-out or Egger's test needs more studies,
// or empty when k suffices.
std::string too_few_for(const char* analysis, std::size_t k);

// The Knapp-Hartung interval of a random-effects summary: SE^2 = sum w (y - mu)^2
// / ((k - 1) sum w) with w = 1 / (s^2 + tau^2), t with k - 1 degrees of freedom,
// without truncation.
t_interval knapp_hartung(const std::vector<slope_estimate>& studies, const pooled_estimate& e);

// The pooling without one study; `pooled` is empty, with the reason in
// `message`, when the others cannot be pooled.
struct left_one_out {
    std::size_t omitted = 0; // index into the studies pooled
    std::optional<pooled_summary> pooled;
    std::string message;
};
// For each study, the pooling of the others; k >= 3.
std::vector<left_one_out> leave_one_out(const std::vector<slope_estimate>& studies);

// Egger's regression of y / s on 1 / s by least squares: its intercept (the
// test for small-study effects) with t on k - 2 degrees of freedom; k >= 3.
struct egger_test {
    t_interval intercept;
    double slope = 0.0;
    std::string message; // why there is no test (all standard errors equal); else empty
};
egger_test egger(const std::vector<slope_estimate>& studies);

// Below this many studies Egger's test has little power, and says so.
constexpr std::size_t egger_power_threshold = 10;

} // namespace morvex

#endif
