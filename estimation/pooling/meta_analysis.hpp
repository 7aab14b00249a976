// The pooling step of a run: which studies enter it, which are left out and
// why, and the pooled summary when there are enough of them.
#ifndef MORVEX_ESTIMATION_META_ANALYSIS_HPP
#define MORVEX_ESTIMATION_META_ANALYSIS_HPP

#include "estimation/method/study.hpp"
#include "estimation/pooling/pooling.hpp"
#include "estimation/pooling/sensitivity.hpp"
#include "estimation/pooling/subgroups.hpp"

#include <optional>
#include <string>
#include <vector>

namespace morvex {

struct left_out_study {
    std::string label; // as in study_summary
    std::string input;
    std::string id;     // empty for a setting file
    std::string reason; // "not converged", or "refused: ..." / "stopped: ..." with the message
};

// The analyses asked for beside the pooled slope; the prediction interval is
// always given.
struct analysis_request {
    bool knapp_hartung = false;
    bool leave_one_out = false;
    bool egger = false;
    std::string by; // the column whose values form subgroups; empty for none
};

// What the analyses beside the pooled slope gave; each empty when not asked
// for or not possible, with the reason in its note.
struct further_analyses {
    std::optional<prediction_interval> dl_prediction, reml_prediction;
    std::string prediction_note;
    std::optional<t_interval> dl_knapp_hartung, reml_knapp_hartung;
    std::vector<left_one_out> leave_one_out;
    std::string leave_one_out_note;
    std::optional<egger_test> egger;
    std::string egger_note; // why there is none, or the warning about its power
    std::optional<subgroup_analysis> subgroups;
};

struct meta_analysis {
    std::vector<study_summary> included; // the complete studies, in input order
    std::vector<left_out_study> left_out;
    std::optional<pooled_summary> pooled; // empty when not pooled
    std::string not_pooled;               // why not, when `pooled` is empty
    std::optional<double> increment;      // RR (MD for means) per this much dose, when asked for
                                          // (else per unit)
    std::string unit;                     // the dose's unit (--unit), for the text's words
    analysis_request asked;
    outcome_measure measure = outcome_measure::relative_risk; // of every study's slope
    further_analyses more;
};

// Pools the studies whose estimate is complete; a study that did not converge,
// was refused or stopped is left out with its reason.
meta_analysis analyse(const std::vector<study_summary>& studies, std::optional<double> increment,
                      const analysis_request& asked = {});

// The relative risk (or the difference of a measure of means, see shown())
// per `increment` units of dose for a slope and its limits, lowest first
// whatever the sign of the increment.
struct rr_per_increment {
    double rr = 0.0;
    double lower = 0.0;
    double upper = 0.0;
};
rr_per_increment per_increment(double estimate, double lower, double upper, double increment,
                               outcome_measure measure);
inline rr_per_increment per_increment(const pooled_estimate& e, double increment,
                                      outcome_measure measure) {
    return per_increment(e.estimate, e.lower, e.upper, increment, measure);
}

} // namespace morvex

#endif
