// Meta-analysis of per-study slopes: fixed effect, DerSimonian-Laird and REML
// random effects, and the heterogeneity between studies.
#ifndef MORVEX_ESTIMATION_POOLING_HPP
#define MORVEX_ESTIMATION_POOLING_HPP

#include "estimation/base/distributions.hpp"
#include "estimation/pooling/reml.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace morvex {

// One study's slope and its standard error; the label names it in reports and plots.
struct slope_estimate {
    std::string label;
    double b = 0.0;
    double se = 0.0;
};

// Raised when fewer than two studies are given or a slope or standard error is
// unusable (not finite, or a standard error not greater than 0).
class pooling_error : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A summary slope under one method.
struct pooled_estimate {
    double estimate = 0.0;
    double se = 0.0;
    double lower = 0.0; // 95% confidence limits
    double upper = 0.0;
    double z = 0.0;
    double p = 0.0;                     // two-sided
    double tau2 = 0.0;                  // between-study variance; 0 for the fixed effect
    std::vector<double> weight_percent; // each study's share of the weights
};

struct heterogeneity {
    double Q = 0.0;
    int df = 0;
    double p = 0.0;  // upper tail of chi-square with df degrees of freedom
    double I2 = 0.0; // percent
};

struct pooled_summary {
    std::vector<slope_estimate> studies; // as given, in order (none kept by leave-one-out)
    std::size_t k = 0;                   // studies pooled
    pooled_estimate fixed;
    pooled_estimate dl;
    pooled_estimate reml;
    reml_maximum reml_search; // how REML's tau2 was found
    heterogeneity het;
};

// Pools k >= 2 studies; throws pooling_error for unusable input.
pooled_summary pool(const std::vector<slope_estimate>& studies);

} // namespace morvex

#endif
