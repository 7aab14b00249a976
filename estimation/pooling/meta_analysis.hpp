// The pooling step of a run: which studies enter it, which are left out and
// why, and the pooled summary when there are enough of them.
#ifndef MORVEX_ESTIMATION_META_ANALYSIS_HPP
#define MORVEX_ESTIMATION_META_ANALYSIS_HPP

#include "estimation/method/study.hpp"
#include "estimation/pooling/meta_regression.hpp"
#include "estimation/pooling/pooling.hpp"
#include "estimation/pooling/sensitivity.hpp"
#include "estimation/pooling/small_studies.hpp"
#include "estimation/pooling/subgroups.hpp"

#include <memory>
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
    std::string by;                      // the column whose values form subgroups; empty for none
    bool highest_vs_lowest = false;      // pool each study's highest category against its reference
    std::vector<std::string> moderators; // the columns of the meta-regression; empty for none
    std::optional<fill_estimator> trim_and_fill;
    tau2_method fill_model = tau2_method::reml; // trim-and-fill's model
    bool rank_test = false;                     // Begg's rank correlation test
};

struct meta_analysis;

// The meta-regression of the pooled studies' slopes and which studies it left out.
struct regression_analysis {
    std::vector<std::size_t> members; // indices into the included studies
    struct left_out {
        std::size_t study; // index into the included studies
        std::string reason;
        bool refused = false; // its rows disagree, rather than no value
    };
    std::vector<left_out> left_out_studies;
    std::vector<moderator_values> moderators; // over the members
    meta_regression fit;
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
    // The highest dose against the reference, pooled as the slopes are: its
    // `included` studies carry the log RR (or the MD) as beta, shown() as the RR.
    std::shared_ptr<const meta_analysis> highest;
    std::optional<regression_analysis> regression;
    std::optional<trim_and_fill> fill;
    std::string fill_note; // why there is no trim-and-fill
    std::optional<rank_correlation> rank;
    std::string rank_note; // why there is no rank test
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
// was refused or stopped is left out with its reason. `measure` is what every
// study's slope is of, and so what highest versus lowest compares.
meta_analysis analyse(const std::vector<study_summary>& studies, std::optional<double> increment,
                      const analysis_request& asked = {},
                      outcome_measure measure = outcome_measure::relative_risk);

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
