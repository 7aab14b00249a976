// What a study's y measures: log relative risks from a table of cases, or mean
// differences from a table of means. Everything after the covariance treats y
// and its covariance alike; only the words and whether a figure is shown
// exponentiated differ, and both come from here.
#ifndef MORVEX_ESTIMATION_MEASURE_HPP
#define MORVEX_ESTIMATION_MEASURE_HPP

#include "estimation/base/elementary.hpp"

#include <cmath>

namespace morvex {

enum class outcome_measure {
    relative_risk,                // y: log relative risks (odds, risk or rate ratios)
    mean_difference,              // y: means minus the reference's mean
    standardised_mean_difference, // y: Hedges' g against the reference, the study's pooled SD
};

struct measure_words {
    const char* name;         // "relative risk", for sentences
    const char* title;        // "Relative risk", to start a label
    const char* abbreviation; // "RR"
    const char* code;         // "rr": the --measure value and the stem of CSV and JSON names
    const char* slope_of;     // "log relative risk": what the slope is the slope of
    bool ratio;               // shown exponentiated, on a log axis, with no effect at 1
};

inline const measure_words& words(outcome_measure m) {
    static const measure_words rr{
        "relative risk", "Relative risk", "RR", "rr", "log relative risk", true};
    static const measure_words md{
        "mean difference", "Mean difference", "MD", "md", "mean difference", false};
    static const measure_words smd{"standardised mean difference",
                                   "Standardised mean difference",
                                   "SMD",
                                   "smd",
                                   "standardised mean difference",
                                   false};
    switch (m) {
    case outcome_measure::mean_difference:
        return md;
    case outcome_measure::standardised_mean_difference:
        return smd;
    case outcome_measure::relative_risk:
        break;
    }
    return rr;
}

inline bool is_continuous(outcome_measure m) {
    return m != outcome_measure::relative_risk;
}

// A figure on the scale y is modelled on (a log relative risk, a mean
// difference) as people read it: a relative risk, or the difference itself.
inline double shown(outcome_measure m, double linear) {
    return words(m).ratio ? elem::exp(linear) : linear;
}

// The figure that means "no effect" as shown: a relative risk of 1, a difference of 0.
inline double no_effect(outcome_measure m) {
    return words(m).ratio ? 1.0 : 0.0;
}

// A slope's figures per `increment` units of dose as shown: exp(D b) for a
// relative risk, D b for a difference; the limits lowest first whatever the
// sign of D.
struct shown_interval {
    double value = 0.0;
    double lower = 0.0;
    double upper = 0.0;
};
inline shown_interval shown_per(outcome_measure m, double increment, double estimate, double lower,
                                double upper) {
    const double a = shown(m, increment * lower);
    const double b = shown(m, increment * upper);
    return {shown(m, increment * estimate), std::fmin(a, b), std::fmax(a, b)};
}

} // namespace morvex

#endif
