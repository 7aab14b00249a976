#include "estimation/output/paper_json.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/curve_json.hpp"
#include "estimation/output/json.hpp"

#include <string>
#include <utility>

namespace morvex {
namespace {

constexpr auto& number = write_json_number;

// "name": value pairs after an opening brace or a comma.
void figures(std::ostream& out, std::initializer_list<std::pair<const char*, double>> list,
             bool first = false) {
    for (const auto& [name, value] : list) {
        out << (first ? "" : ", ") << '"' << name << "\": ";
        number(out, value);
        first = false;
    }
}

void string_member(std::ostream& out, const char* name, const std::string& value) {
    out << ", \"" << name << "\": ";
    write_json_string(out, value);
}

constexpr auto& named = write_json_named;

void search(std::ostream& out, const reml_maximum& s) {
    out << ", \"search\": {\"method\": \"grid and safeguarded Newton\", \"grid_points\": "
        << s.grid_points << ", \"local_maxima\": " << s.maxima
        << ", \"iterations\": " << s.iterations
        << ", \"converged\": " << (s.converged ? "true" : "false") << '}';
}

// A figure on y's scale as shown, named for the measure ("rr", "md", ...); a
// prediction interval has limits only.
void shown_figures(std::ostream& out, outcome_measure measure, double value, double lower,
                   double upper, bool with_value = true) {
    std::string text;
    text_builder built(text);
    append_shown_figures(built, per_increment(value, lower, upper, 1.0, measure), measure,
                         with_value);
    built.pass_on(out);
}

// With `shown`, also the figures as shown for `measure`.
void estimate(std::ostream& out, const pooled_estimate& e, bool random, bool shown,
              outcome_measure measure) {
    out << '{';
    figures(out,
            {{"estimate", e.estimate},
             {"se", e.se},
             {"lower", e.lower},
             {"upper", e.upper},
             {"z", e.z},
             {"p", e.p}},
            true);
    if (random) {
        figures(out, {{"tau2", e.tau2}});
    }
    if (shown) {
        shown_figures(out, measure, e.estimate, e.lower, e.upper);
    }
}

void heterogeneity_of(std::ostream& out, const heterogeneity& h) {
    out << "{\"Q\": ";
    number(out, h.Q);
    out << ", \"df\": " << h.df << ", \"p\": ";
    number(out, h.p);
    out << ", \"I2\": ";
    number(out, h.I2);
    out << '}';
}

void models(std::ostream& out, const pooled_summary& s, bool shown, outcome_measure measure) {
    out << "{\"k\": " << s.studies.size() << ", \"fixed\": ";
    estimate(out, s.fixed, false, shown, measure);
    out << "}, \"dl\": ";
    estimate(out, s.dl, true, shown, measure);
    out << "}, \"reml\": ";
    estimate(out, s.reml, true, shown, measure);
    search(out, s.reml_search);
    out << "}, \"heterogeneity\": ";
    heterogeneity_of(out, s.het);
    out << '}';
}

void t_figures(std::ostream& out, const t_interval& e, outcome_measure measure) {
    out << '{';
    figures(out,
            {{"estimate", e.estimate},
             {"se", e.se},
             {"lower", e.lower},
             {"upper", e.upper},
             {"t", e.t},
             {"p", e.p}},
            true);
    shown_figures(out, measure, e.estimate, e.lower, e.upper);
    out << ", \"df\": " << e.df << '}';
}

void excluded(std::ostream& out, const std::vector<left_out_study>& left_out) {
    out << ",\n   \"excluded\": [";
    for (std::size_t i = 0; i < left_out.size(); ++i) {
        out << (i == 0 ? "" : ", ");
        named(out, left_out[i].input, left_out[i].id);
        string_member(out, "reason", left_out[i].reason);
        out << '}';
    }
    out << ']';
}

void write_highest(std::ostream& out, const meta_analysis& h) {
    out << ",\n  \"highest_vs_lowest\": {\"k\": " << h.included.size();
    string_member(out, "message", h.not_pooled);
    if (h.pooled) {
        const pooled_summary& s = *h.pooled;
        out << ",\n   \"models\": ";
        models(out, s, true, h.measure);
        for (const auto& [name, p] : {std::pair{"dl_prediction", &h.more.dl_prediction},
                                      std::pair{"reml_prediction", &h.more.reml_prediction}}) {
            out << ", \"" << name << "\": ";
            if (*p) {
                out << '{';
                figures(out, {{"lower", (*p)->lower}, {"upper", (*p)->upper}}, true);
                shown_figures(out, h.measure, (*p)->lower, (*p)->lower, (*p)->upper, false);
                out << ", \"df\": " << (*p)->df << '}';
            } else {
                out << "null";
            }
        }
        if (h.more.reml_knapp_hartung) {
            out << ",\n   \"knapp_hartung\": {\"dl\": ";
            t_figures(out, *h.more.dl_knapp_hartung, h.measure);
            out << ", \"reml\": ";
            t_figures(out, *h.more.reml_knapp_hartung, h.measure);
            out << '}';
        }
        out << ",\n   \"studies\": [";
        for (std::size_t i = 0; i < h.included.size(); ++i) {
            const study_summary& st = h.included[i];
            out << (i == 0 ? "\n    " : ",\n    ");
            named(out, st.input, st.id);
            // "log_rr" for a log relative risk, "md" or "smd" for means.
            const std::string y =
                words(h.measure).ratio ? std::string("log_rr") : words(h.measure).code;
            figures(out, {{"dose", st.highest.dose},
                          {y.c_str(), st.beta},
                          {"se", st.se},
                          {"weight_fixed", s.fixed.weight_percent[i]},
                          {"weight_dl", s.dl.weight_percent[i]},
                          {"weight_reml", s.reml.weight_percent[i]}});
            out << '}';
        }
        out << ']';
    }
    excluded(out, h.left_out);
    out << '}';
}

void write_regression(std::ostream& out, const meta_analysis& m) {
    const regression_analysis& a = *m.more.regression;
    const meta_regression& r = a.fit;
    out << ",\n  \"meta_regression\": {\"k\": " << a.members.size();
    string_member(out, "message", r.message);
    out << ", \"moderators\": [";
    for (std::size_t j = 0; j < a.moderators.size(); ++j) {
        out << (j == 0 ? "" : ", ") << "{\"column\": ";
        write_json_string(out, a.moderators[j].name);
        out << ", \"kind\": " << (a.moderators[j].numeric ? "\"numeric\"" : "\"categories\"")
            << '}';
    }
    out << "], \"baselines\": [";
    for (std::size_t j = 0; j < r.baselines.size(); ++j) {
        out << (j == 0 ? "" : ", ");
        write_json_string(out, r.baselines[j]);
    }
    out << "], \"method\": \"reml\", \"knapp_hartung\": " << (r.knapp_hartung ? "true" : "false");
    if (r.message.empty()) {
        out << ",\n   \"terms\": [";
        for (std::size_t j = 0; j < r.terms.size(); ++j) {
            const regression_term& t = r.terms[j];
            out << (j == 0 ? "" : ", ") << "{\"name\": ";
            write_json_string(out, t.name);
            figures(out, {{"estimate", t.estimate},
                          {"se", t.se},
                          {"lower", t.lower},
                          {"upper", t.upper},
                          {r.knapp_hartung ? "t" : "z", t.statistic},
                          {"p", t.p}});
            out << '}';
        }
        const std::size_t p = r.terms.size();
        out << "],\n   \"covariance\": [";
        for (std::size_t i = 0; i < p; ++i) {
            out << (i == 0 ? "[" : ", [");
            for (std::size_t j = 0; j < p; ++j) {
                out << (j == 0 ? "" : ", ");
                number(out, r.covariance[i * p + j]);
            }
            out << ']';
        }
        out << "], \"df\": " << r.df << ", \"scale\": ";
        number(out, r.scale);
        out << ",\n   \"test\": {\"statistic\": " << (r.knapp_hartung ? "\"F\"" : "\"chi2\"");
        figures(out, {{"value", r.omnibus}});
        out << ", \"df\": " << r.omnibus_df << ", \"df2\": ";
        if (r.knapp_hartung) {
            out << r.df;
        } else {
            out << "null";
        }
        figures(out, {{"p", r.omnibus_p}});
        out << "}, \"residual\": ";
        heterogeneity_of(out, r.residual);
        figures(out, {{"tau2", r.tau2}, {"tau2_without", r.tau2_without}, {"R2", r.R2}});
        search(out, r.search);
    }
    out << ",\n   \"excluded\": [";
    for (std::size_t i = 0; i < a.left_out_studies.size(); ++i) {
        const study_summary& st = m.included[a.left_out_studies[i].study];
        out << (i == 0 ? "" : ", ");
        named(out, st.input, st.id);
        string_member(out, "reason", a.left_out_studies[i].reason);
        out << ", \"refused\": " << (a.left_out_studies[i].refused ? "true" : "false") << '}';
    }
    out << "]}";
}

void write_fill(std::ostream& out, const meta_analysis& m) {
    out << ",\n  \"trim_and_fill\": ";
    if (m.more.fill) {
        const trim_and_fill& t = *m.more.fill;
        out << "{\"estimator\": \"" << estimator_name(t.estimator) << "\", \"model\": \""
            << (t.model == tau2_method::fixed ? "fixed"
                : t.model == tau2_method::dl  ? "dl"
                                              : "reml")
            << "\", \"k0\": " << t.k0
            << ", \"side\": " << (t.missing_right ? "\"right\"" : "\"left\"");
        figures(out, {{"side_slope", t.side_slope}, {"centre", t.centre}});
        out << ", \"iterations\": " << t.iterations << ",\n   \"filled\": [";
        for (std::size_t i = 0; i < t.filled.size(); ++i) {
            const study_summary& st = m.included[t.filled[i].mirrored];
            out << (i == 0 ? "" : ", ") << "{\"mirrors\": ";
            named(out, st.input, st.id);
            out << '}';
            figures(out, {{"estimate", t.filled[i].b}, {"se", t.filled[i].se}});
            out << '}';
        }
        out << "],\n   \"adjusted\": ";
        models(out, *t.adjusted, false, m.measure);
        out << '}';
    } else {
        out << "null";
    }
    string_member(out, "trim_and_fill_note", m.more.fill_note);
}

void write_rank(std::ostream& out, const meta_analysis& m) {
    out << ",\n  \"rank_test\": ";
    if (m.more.rank) {
        const rank_correlation& r = *m.more.rank;
        out << '{';
        figures(out, {{"tau", r.tau}, {"S", r.S}, {"z", r.z}, {"p", r.p}}, true);
        out << ", \"exact\": " << (r.exact ? "true" : "false") << '}';
    } else {
        out << "null";
    }
    string_member(out, "rank_test_note", m.more.rank_note);
}

} // namespace

void write_paper_json(std::ostream& out, const meta_analysis& m) {
    if (m.more.highest) {
        write_highest(out, *m.more.highest);
    }
    if (m.more.regression) {
        write_regression(out, m);
    }
    if (m.pooled && m.asked.trim_and_fill) {
        write_fill(out, m);
    }
    if (m.pooled && m.asked.rank_test) {
        write_rank(out, m);
    }
}

void write_trend_extras_json(std::ostream& out, const trend_extras& extras) {
    if (const curve_subgroups* s = extras.groups) {
        out << ",\n \"curve_subgroups\": {\"groups\": [";
        for (std::size_t i = 0; i < s->groups.size(); ++i) {
            const curve_subgroup& g = s->groups[i];
            out << (i == 0 ? "\n  " : ",\n  ") << "{\"value\": ";
            write_json_string(out, g.value);
            out << ", \"k\": " << g.members.size() << ", \"curve\": ";
            write_curve_json(out, g.curve);
            out << '}';
        }
        out << "],\n  \"tests\": [";
        for (std::size_t i = 0; i < s->differences.size(); ++i) {
            const curve_difference& d = s->differences[i];
            out << (i == 0 ? "" : ", ") << "{\"method\": ";
            write_json_string(out, d.method);
            figures(out, {{"Q", d.test.statistic}});
            out << ", \"df\": " << d.test.df;
            figures(out, {{"p", d.test.p}});
            string_member(out, "message", d.message);
            out << '}';
        }
        out << ']';
        string_member(out, "message", s->no_test);
        out << ", \"left_out\": " << s->left_out_studies.size() << '}';
    }
    if (const goodness_of_fit* g = extras.fit) {
        out << ",\n \"goodness_of_fit\": {\"trend\": ";
        write_json_string(out, shape_name(g->shape));
        string_member(out, "message", g->message);
        out << ", \"studies\": " << g->studies << ", \"categories\": " << g->categories
            << ", \"coefficients\": " << g->coefficients << ", \"beta\": [";
        for (Matrix::size_type j = 0; j < g->beta.row_count(); ++j) {
            out << (j == 0 ? "" : ", ");
            number(out, g->beta(j, 0));
        }
        out << ']';
        figures(out, {{"deviance", g->deviance}});
        out << ", \"df\": " << g->df;
        figures(out, {{"p", g->p}, {"R2", g->R2}});
        out << ",\n  \"residuals\": [";
        for (std::size_t i = 0; i < g->residuals.size(); ++i) {
            const study_residuals& r = g->residuals[i];
            out << (i == 0 ? "\n   " : ",\n   ");
            named(out, r.input, r.id);
            for (const auto& [name, list] :
                 {std::pair{"doses", &r.doses}, std::pair{"residuals", &r.residuals}}) {
                out << ", \"" << name << "\": [";
                for (std::size_t j = 0; j < list->size(); ++j) {
                    out << (j == 0 ? "" : ", ");
                    number(out, (*list)[j]);
                }
                out << ']';
            }
            out << '}';
        }
        out << "]}";
    }
}

} // namespace morvex
