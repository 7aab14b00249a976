#include "estimation/pooling/meta_analysis.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <utility>

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

// The studies with every moderator's value, each moderator numeric when all
// of theirs read as numbers.
regression_analysis analyse_regression(const meta_analysis& m,
                                       const std::vector<slope_estimate>& slopes) {
    regression_analysis a;
    const std::vector<std::string>& names = m.asked.moderators;
    for (std::size_t i = 0; i < m.included.size(); ++i) {
        const std::vector<column_value>& values = m.included[i].moderators;
        std::string reason;
        bool refused = false;
        for (std::size_t j = 0; j < names.size() && reason.empty(); ++j) {
            const column_value none{{}, not_computed, "no value of column " + quoted(names[j]), {}};
            const column_value& v = j < values.size() ? values[j] : none;
            refused = !v.conflict.empty();
            reason = refused ? v.conflict : v.missing;
        }
        if (reason.empty()) {
            a.members.push_back(i);
        } else {
            a.left_out_studies.push_back({i, reason, refused});
        }
    }
    std::vector<slope_estimate> studies;
    studies.reserve(a.members.size());
    std::transform(a.members.begin(), a.members.end(), std::back_inserter(studies),
                   [&slopes](std::size_t i) { return slopes[i]; });
    for (std::size_t j = 0; j < names.size(); ++j) {
        moderator_values v;
        v.name = names[j];
        v.numeric = std::all_of(a.members.begin(), a.members.end(), [&](std::size_t i) {
            return std::isfinite(m.included[i].moderators[j].number);
        });
        for (const std::size_t i : a.members) {
            const column_value& c = m.included[i].moderators[j];
            if (v.numeric) {
                v.numbers.push_back(c.number);
            } else {
                v.texts.push_back(c.value);
            }
        }
        a.moderators.push_back(std::move(v));
    }
    a.fit = regress(studies, a.moderators, m.asked.knapp_hartung);
    return a;
}

// Each complete study's highest category in place of its slope; a study
// without one (a tie for the highest dose) is left out, refused.
std::shared_ptr<const meta_analysis> highest_versus_lowest(const meta_analysis& m) {
    std::vector<study_summary> studies;
    for (const study_summary& s : m.included) {
        study_summary h = s;
        h.beta = s.highest.y;
        h.se = std::sqrt(s.highest.variance);
        if (!s.highest.problem.empty()) {
            h.status = study_status::refused;
            h.message = s.highest.problem;
        }
        studies.push_back(std::move(h));
    }
    analysis_request asked;
    asked.knapp_hartung = m.asked.knapp_hartung;
    return std::make_shared<const meta_analysis>(analyse(studies, std::nullopt, asked, m.measure));
}

void analyse_small_studies(meta_analysis& m) {
    const std::vector<slope_estimate>& studies = m.pooled->studies;
    const std::size_t k = studies.size();
    further_analyses& more = m.more;
    if (m.asked.trim_and_fill) {
        more.fill_note = too_few_for("trim-and-fill", k);
        if (more.fill_note.empty()) {
            trim_and_fill t = fill_missing(studies, *m.asked.trim_and_fill, m.asked.fill_model);
            if (t.message.empty()) {
                more.fill = std::move(t);
            } else {
                more.fill_note = t.message;
            }
        }
    }
    if (m.asked.rank_test) {
        more.rank_note = too_few_for("the rank correlation test", k);
        if (more.rank_note.empty()) {
            rank_correlation r = rank_test(studies);
            if (r.message.empty()) {
                more.rank = std::move(r);
            } else {
                more.rank_note = std::move(r.message);
            }
        }
    }
}

} // namespace

meta_analysis analyse(const std::vector<study_summary>& studies, std::optional<double> increment,
                      const analysis_request& asked, outcome_measure measure) {
    meta_analysis m;
    m.increment = increment;
    m.asked = asked;
    m.measure = measure;
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
        analyse_small_studies(m);
    }
    if (asked.highest_vs_lowest) {
        m.more.highest = highest_versus_lowest(m);
    }
    if (!asked.moderators.empty()) {
        m.more.regression = analyse_regression(m, slopes);
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
