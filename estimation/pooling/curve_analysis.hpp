// The pooled dose-response curve: each study's p coefficients, then the fixed
// effect, method of moments and REML in two stages, or REML over all exposed
// categories in one; heterogeneity, Wald tests and predicted relative risks.
#ifndef MORVEX_ESTIMATION_POOLING_CURVE_ANALYSIS_HPP
#define MORVEX_ESTIMATION_POOLING_CURVE_ANALYSIS_HPP

#include "estimation/method/coefficient_fit.hpp"
#include "estimation/method/dose_basis.hpp"
#include "estimation/method/study.hpp"
#include "estimation/pooling/meta_analysis.hpp"
#include "estimation/pooling/reml_search.hpp"

#include <optional>
#include <string>
#include <vector>

namespace morvex {

// What the analysis keeps of a study whose estimate is complete.
struct curve_study {
    std::string label; // input, and id for a table study
    std::string input;
    std::string id;
    double x0 = 0.0;   // the reference's dose as published
    Matrix dose{0, 1}; // exposed doses as published
    Matrix x{0, 1};    // the same relative to the reference, as the slope uses them
    Matrix y{0, 1};    // log relative risks
    Matrix S{0, 0};    // their covariance, as the study's estimate formed it
    // Its value of the column that forms subgroups, or why it has none.
    std::string group;
    std::string group_missing;
};

curve_study curve_study_of(const study_result& r);

struct curve_settings {
    trend_shape shape = trend_shape::linear;
    int knot_count = 3;
    std::vector<double> knots; // given knots; empty for the percentiles
    bool one_stage = false;
    std::vector<double> at;               // doses to predict at; empty for the default list
    std::optional<double> reference_dose; // of the predictions; the smallest dose by default
    outcome_measure measure = outcome_measure::relative_risk; // of the studies' y
    unsigned threads = 1; // that share REML's sums over the studies
};

struct chi_square_test {
    double statistic = not_computed;
    int df = 0;
    double p = not_computed;
};

// On y's scale (`log_rr`, with `se`) and as shown (see shown()): for a
// difference of means both hold the difference.
struct prediction {
    double dose = 0.0;
    double log_rr = 0.0;
    double se = 0.0;
    double rr = 0.0;
    double lower = 0.0;
    double upper = 0.0;
};

struct curve_method {
    std::string name; // "fixed", "moments", "reml"
    bool available = false;
    std::string message; // why not, when not available
    Matrix beta{0, 1};
    Matrix cov{0, 0};
    Matrix psi{0, 0};
    double loglik = not_computed; // restricted
    int iterations = 0;           // REML only
    bool converged = true;
    double gradient = 0.0;          // REML only: largest scaled gradient at the optimum
    double gradient_target = 0.0;   // REML only: converged when the gradient is at most this
    int optima = 0;                 // REML only: distinct maxima the starts found
    std::vector<reml_start> starts; // REML only
    chi_square_test overall;        // all coefficients 0
    chi_square_test nonlinear;      // all but the first 0 (p > 1)
    std::vector<prediction> predictions;
};

struct study_coefficients {
    std::string label;
    std::string input;
    std::string id;
    coefficient_fit fit;
};

struct curve_result {
    curve_settings settings;
    dose_basis basis;
    std::string message;                     // why there is no pooled curve; empty otherwise
    std::vector<study_coefficients> studies; // first stage, every study in the analysis
    std::vector<left_out_study> left_out;    // of the pooled fit, with the reason
    int pooled = 0;                          // studies in the pooled fit
    double reference_dose = 0.0;
    double smallest_dose = 0.0;
    double largest_dose = 0.0;
    chi_square_test heterogeneity; // Q about the fixed effect
    double I2 = not_computed;      // percent
    std::vector<curve_method> methods;
};

// The studies not complete are given as left out (with `left_out`) by the caller.
curve_result analyse_curve(const std::vector<curve_study>& studies, const curve_settings& settings,
                           std::vector<left_out_study> left_out);

// The RR (or MD) at `dose` against `reference` under one method's coefficients.
prediction predict(const dose_basis& basis, const curve_method& m, double dose, double reference,
                   outcome_measure measure);

} // namespace morvex

#endif
