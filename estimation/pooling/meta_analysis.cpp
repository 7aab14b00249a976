#include "estimation/pooling/meta_analysis.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>

namespace morvex {

namespace {

void analyse_further(meta_analysis& m) {
    const pooled_summary& s = *m.pooled;
    const std::size_t k = s.studies.size();
    further_analyses& more = m.more;
    more.dl_prediction = predict(s.dl, k);
    more.reml_prediction = predict(s.reml, k);
    more.prediction_note = too_few_for("a prediction interval", k);
    if (m.asked.knapp_hartung) {
        more.dl_knapp_hartung = knapp_hartung(s.studies, s.dl);
        more.reml_knapp_hartung = knapp_hartung(s.studies, s.reml);
    }
    if (m.asked.leave_one_out) {
        more.leave_one_out = leave_one_out(s.studies);
        more.leave_one_out_note = too_few_for("leave-one-out", k);
    }
    if (m.asked.egger) {
        more.egger_note = too_few_for("Egger's test", k);
        egger_test test = more.egger_note.empty() ? egger(s.studies) : egger_test{};
        if (!more.egger_note.empty() || !test.message.empty()) {
            more.egger_note += test.message;
        } else {
            more.egger = test;
            if (k < egger_power_threshold) {
                more.egger_note = format("with %zu studies Egger's test has little power "
                                         "(10 or more are advised)",
                                         k);
            }
        }
    }
}

} // namespace

meta_analysis analyse(const std::vector<study_summary>& studies, std::optional<double> increment,
                      const analysis_request& asked) {
    meta_analysis m;
    m.increment = increment;
    m.asked = asked;
    std::vector<slope_estimate> slopes;
    for (const study_summary& s : studies) {
        if (s.status == study_status::complete) {
            m.included.push_back(s);
            slopes.push_back({s.label, s.beta, s.se});
            continue;
        }
        std::string reason = status_name(s.status);
        if (!s.message.empty()) {
            reason += ": " + s.message;
        }
        m.left_out.push_back({s.label, s.input, s.id, reason});
    }
    const std::size_t k = slopes.size();
    if (k < 2) {
        m.not_pooled = format("%zu %s a complete estimate; pooling needs 2 or more", k,
                              k == 1 ? "study has" : "studies have");
    }
    try {
        if (k >= 2) {
            m.pooled = pool(slopes);
        }
    } catch (const pooling_error& e) {
        m.not_pooled = e.what();
    }
    if (m.pooled) {
        analyse_further(m);
    }
    if (!asked.by.empty()) {
        // Subgroups also of one study each, when the whole could not be pooled.
        std::vector<group_value> values(m.included.size());
        std::transform(m.included.begin(), m.included.end(), values.begin(),
                       [](const study_summary& st) {
                           return group_value{st.group, st.group_missing};
                       });
        m.more.subgroups = analyse_subgroups(slopes, values);
    }
    return m;
}

rr_per_increment per_increment(double estimate, double lower, double upper, double increment,
                               outcome_measure measure) {
    const shown_interval s = shown_per(measure, increment, estimate, lower, upper);
    return {s.value, s.lower, s.upper};
}

} // namespace morvex
