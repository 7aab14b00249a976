#include "estimation/output/svg/forest_content.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/dose_wording.hpp"

#include <algorithm>
#include <cmath>

namespace morvex {
namespace {

// Three significant digits in fixed notation: 33.1, 0.909, 0.00168.
std::string three_digits(double v) {
    if (v == 0.0 || !std::isfinite(v)) {
        return v == 0.0 ? "0" : "n/a";
    }
    const int decimals =
        std::clamp(2 - static_cast<int>(std::floor(elem::log10(std::fabs(v)))), 0, 12);
    return format("%.*f", decimals, v);
}

// Two significant digits, as tau² is given: 0.0012, 0.00010.
std::string two_digits(double v) {
    if (v == 0.0 || !std::isfinite(v)) {
        return v == 0.0 ? "0" : "n/a";
    }
    const int decimals =
        std::clamp(1 - static_cast<int>(std::floor(elem::log10(std::fabs(v)))), 0, 14);
    return format("%.*f", decimals, v);
}

// The mark after the label of a study analysed with independent log relative
// risks, and the line under the plot that says what it means.
const char* const independent_mark = " \u2020";
const char* const independent_note =
    "\u2020 Analysed as independent log relative risks (no covariance between categories): "
    "its SE and weight may be misstated";

struct model_choice {
    const char* label;
    const pooled_estimate& (*of)(const pooled_summary&);
};

const pooled_estimate& fixed_of(const pooled_summary& s) {
    return s.fixed;
}
const pooled_estimate& dl_of(const pooled_summary& s) {
    return s.dl;
}
const pooled_estimate& reml_of(const pooled_summary& s) {
    return s.reml;
}

std::vector<model_choice> models_of(forest_model m) {
    const model_choice fixed{"Fixed effect", fixed_of};
    const model_choice dl{"Random effects, DL", dl_of};
    const model_choice reml{"Random effects, REML", reml_of};
    switch (m) {
    case forest_model::fixed:
        return {fixed};
    case forest_model::dl:
        return {dl};
    case forest_model::all:
        return {fixed, dl, reml};
    case forest_model::reml:
        break;
    }
    return {reml};
}

// The model whose weights, tau² and subgroup test the plot shows.
const pooled_estimate& weight_model(const pooled_summary& s, forest_model m) {
    return m == forest_model::fixed ? s.fixed : m == forest_model::dl ? s.dl : s.reml;
}

// The between-study variance the heterogeneity line gives: DerSimonian and
// Laird's when their diamond is the one drawn, else REML's.
double shown_tau2(const pooled_summary& s, forest_model m) {
    return m == forest_model::dl ? s.dl.tau2 : s.reml.tau2;
}

const char* weight_heading(forest_model m) {
    return m == forest_model::fixed ? "Fixed weight (%)"
           : m == forest_model::dl  ? "DL weight (%)"
                                    : "REML weight (%)";
}

std::vector<forest_row> diamonds(const pooled_summary& s, forest_model m,
                                 const std::optional<prediction_interval>& reml_prediction) {
    std::vector<forest_row> rows;
    for (const model_choice& c : models_of(m)) {
        const pooled_estimate& e = c.of(s);
        forest_row r{c.label, e.estimate, e.lower, e.upper, 100.0};
        if (&e == &s.reml && reml_prediction) {
            r.prediction_lower = reml_prediction->lower;
            r.prediction_upper = reml_prediction->upper;
        }
        rows.push_back(r);
    }
    return rows;
}

forest_row study_row(const meta_analysis& m, std::size_t i, forest_model model, bool one_input) {
    const study_summary& s = m.included[i];
    const double share = m.pooled ? weight_model(*m.pooled, model).weight_percent[i]
                                  : 100.0 / static_cast<double>(m.included.size());
    return {study_label(s, one_input) +
                (s.covariance == covariance_kind::indep ? independent_mark : ""),
            s.beta, s.beta - z_975 * s.se, s.beta + z_975 * s.se, share};
}

void add_subgroups(forest_plot& plot, const meta_analysis& m, const forest_request& request,
                   bool one_input) {
    const subgroup_analysis& s = *m.more.subgroups;
    for (const subgroup& g : s.groups) {
        forest_block b;
        b.heading = m.asked.by + " = " + g.value;
        for (const std::size_t i : g.members) {
            b.rows.push_back(study_row(m, i, request.model, one_input));
        }
        if (g.pooled) {
            b.summaries = diamonds(*g.pooled, request.model, std::nullopt);
            b.note = heterogeneity_line(g.pooled->het, shown_tau2(*g.pooled, request.model));
        } else if (!g.usable()) {
            b.note = "Not pooled: " + g.message;
        }
        plot.blocks.push_back(std::move(b));
    }
    if (!s.left_out_studies.empty()) {
        forest_block b;
        b.heading = "No value of " + m.asked.by;
        for (const auto& l : s.left_out_studies) {
            b.rows.push_back(study_row(m, l.study, request.model, one_input));
        }
        plot.blocks.push_back(std::move(b));
    }
    const forest_model model =
        request.model == forest_model::all ? forest_model::reml : request.model;
    const std::optional<subgroup_difference>& d = model == forest_model::fixed ? s.fixed
                                                  : model == forest_model::dl  ? s.dl
                                                                               : s.reml;
    plot.notes.push_back(d ? format("Test for subgroup differences (%s): Q = %s (df = %d), %s",
                                    model == forest_model::fixed ? "fixed effect"
                                    : model == forest_model::dl  ? "DL"
                                                                 : "REML",
                                    three_digits(d->Q).c_str(), d->df, journal_p(d->p).c_str())
                           : "No test for subgroup differences: " + s.no_test);
}

} // namespace

std::string inputs_title(const meta_analysis& m) {
    std::vector<std::string> names;
    for (const study_summary& s : m.included) {
        const std::string name = s.input.substr(s.input.rfind('/') + 1);
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    std::string title;
    for (const std::string& n : names) {
        title += (title.empty() ? "" : ", ") + n;
    }
    return title;
}

std::string heterogeneity_line(const heterogeneity& h, double tau2) {
    return format("I\u00b2 = %.1f%%, tau\u00b2 = %s, Q = %s (df = %d), %s", h.I2,
                  two_digits(tau2).c_str(), three_digits(h.Q).c_str(), h.df,
                  journal_p(h.p).c_str());
}

std::string study_label(const study_summary& s, bool one_input) {
    if (!s.name.empty()) {
        return s.name;
    }
    const std::string file = s.input.substr(s.input.rfind('/') + 1);
    if (!s.id.empty()) {
        return one_input ? s.id : file + ": " + s.id;
    }
    return s.title.empty() ? file : s.title;
}

forest_content make_forest(const meta_analysis& m, const forest_request& request) {
    forest_content c;
    forest_plot& plot = c.plot;
    plot.increment = request.increment;
    plot.measure = m.measure;
    if (whole_label(request.unit)) {
        plot.axis_label = request.unit; // as earlier builds took every --unit
    } else if (!request.unit.empty()) {
        const measure_words& w = words(m.measure);
        plot.axis_label = request.increment ? format("%s per %lg ", w.title, *request.increment) +
                                                  request.unit + (w.ratio ? " (log scale)" : "")
                                            : std::string("Slope of the ") + w.slope_of + " " +
                                                  per_dose_text({request.increment, request.unit});
    }
    plot.title = request.title.empty() ? inputs_title(m) : request.title;
    plot.weight_heading = m.pooled ? weight_heading(request.model) : "Weight (%)";
    const bool one_input =
        std::all_of(m.included.begin(), m.included.end(),
                    [&](const study_summary& s) { return s.input == m.included.front().input; });
    const std::size_t k = m.included.size();
    if (k > forest_row_limit) {
        c.notice = format("%zu studies are more rows than a picture viewer opens (the limit is "
                          "%zu), so only the pooled summaries are drawn",
                          k, forest_row_limit);
        plot.notes.push_back(format("%zu studies: above the limit of %zu rows, only the pooled "
                                    "summaries are drawn",
                                    k, forest_row_limit));
    } else if (m.more.subgroups) {
        add_subgroups(plot, m, request, one_input);
    } else {
        for (std::size_t i = 0; i < k; ++i) {
            plot.rows.push_back(study_row(m, i, request.model, one_input));
        }
    }
    if (m.pooled) {
        plot.summaries = diamonds(*m.pooled, request.model, m.more.reml_prediction);
        plot.notes.insert(plot.notes.begin(),
                          heterogeneity_line(m.pooled->het, shown_tau2(*m.pooled, request.model)));
        if (m.more.reml_prediction &&
            (request.model == forest_model::reml || request.model == forest_model::all)) {
            plot.notes.insert(
                plot.notes.begin() + 1,
                format("REML prediction interval (red line): %s to %s",
                       three_digits(request.increment
                                        ? shown(m.measure,
                                                *request.increment * m.more.reml_prediction->lower)
                                        : m.more.reml_prediction->lower)
                           .c_str(),
                       three_digits(request.increment
                                        ? shown(m.measure,
                                                *request.increment * m.more.reml_prediction->upper)
                                        : m.more.reml_prediction->upper)
                           .c_str()));
        }
    }
    if (k <= forest_row_limit &&
        std::any_of(m.included.begin(), m.included.end(), [](const study_summary& s) {
            return s.covariance == covariance_kind::indep;
        })) {
        plot.notes.push_back(independent_note);
    }
    return c;
}

} // namespace morvex
