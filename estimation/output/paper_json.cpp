#include "estimation/output/paper_json.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/curve_json.hpp"
#include "estimation/output/json.hpp"

#include <string>
#include <utility>

namespace morvex {
namespace {

constexpr auto& number = append_json_number;
constexpr auto& named = append_json_named;

void string_member(text_builder& out, const char* name, const std::string& value) {
    out << ", \"" << name << "\": ";
    append_json_string(out, value);
}

// Figures on y's scale are shown without an increment.
constexpr double unit_step = 1.0;

void t_figures(text_builder& out, const t_interval& e, outcome_measure measure) {
    append_json_t_figures(out, e);
    append_shown_figures(out, per_increment(e.estimate, e.lower, e.upper, unit_step, measure),
                         measure);
    out << ", \"df\": " << e.df << '}';
}

void excluded(text_builder& out, const std::vector<left_out_study>& left_out) {
    out << ",\n   \"excluded\": [";
    for (std::size_t i = 0; i < left_out.size(); ++i) {
        out << (i == 0 ? "" : ", ");
        named(out, left_out[i].input, left_out[i].id);
        string_member(out, "reason", left_out[i].reason);
        out << '}';
    }
    out << ']';
}

void write_highest(text_builder& out, const meta_analysis& h) {
    out << ",\n  \"highest_vs_lowest\": {\"k\": " << h.included.size();
    string_member(out, "message", h.not_pooled);
    if (h.pooled) {
        const pooled_summary& s = *h.pooled;
        out << ",\n   \"models\": ";
        append_json_models(out, s, unit_step, h.measure, true);
        for (const auto& [name, p] : {std::pair{"dl_prediction", &h.more.dl_prediction},
                                      std::pair{"reml_prediction", &h.more.reml_prediction}}) {
            out << ", \"" << name << "\": ";
            if (*p) {
                out << '{';
                append_json_figures(out, {{"lower", (*p)->lower}, {"upper", (*p)->upper}}, true);
                append_shown_figures(
                    out, per_increment((*p)->lower, (*p)->lower, (*p)->upper, unit_step, h.measure),
                    h.measure, false);
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
            append_json_figures(out, {{"dose", st.highest.dose},
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

void write_regression(text_builder& out, const meta_analysis& m) {
    const regression_analysis& a = *m.more.regression;
    const meta_regression& r = a.fit;
    out << ",\n  \"meta_regression\": {\"k\": " << a.members.size();
    string_member(out, "message", r.message);
    out << ", \"moderators\": [";
    for (std::size_t j = 0; j < a.moderators.size(); ++j) {
        out << (j == 0 ? "" : ", ") << "{\"column\": ";
        append_json_string(out, a.moderators[j].name);
        out << ", \"kind\": " << (a.moderators[j].numeric ? "\"numeric\"" : "\"categories\"")
            << '}';
    }
    out << "], \"baselines\": [";
    for (std::size_t j = 0; j < r.baselines.size(); ++j) {
        out << (j == 0 ? "" : ", ");
        append_json_string(out, r.baselines[j]);
    }
    out << "], \"method\": \"reml\", \"knapp_hartung\": " << (r.knapp_hartung ? "true" : "false");
    if (r.message.empty()) {
        out << ",\n   \"terms\": [";
        for (std::size_t j = 0; j < r.terms.size(); ++j) {
            const regression_term& t = r.terms[j];
            out << (j == 0 ? "" : ", ") << "{\"name\": ";
            append_json_string(out, t.name);
            append_json_figures(out, {{"estimate", t.estimate},
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
        append_json_figures(out, {{"value", r.omnibus}});
        out << ", \"df\": " << r.omnibus_df << ", \"df2\": ";
        if (r.knapp_hartung) {
            out << r.df;
        } else {
            out << "null";
        }
        append_json_figures(out, {{"p", r.omnibus_p}});
        out << "}, \"residual\": ";
        append_json_heterogeneity(out, r.residual);
        append_json_figures(out,
                            {{"tau2", r.tau2}, {"tau2_without", r.tau2_without}, {"R2", r.R2}});
        append_json_search(out, r.search);
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

void write_fill(text_builder& out, const meta_analysis& m) {
    out << ",\n  \"trim_and_fill\": ";
    if (m.more.fill) {
        const trim_and_fill& t = *m.more.fill;
        out << "{\"estimator\": \"" << estimator_name(t.estimator) << "\", \"model\": \""
            << (t.model == tau2_method::fixed ? "fixed"
                : t.model == tau2_method::dl  ? "dl"
                                              : "reml")
            << "\", \"k0\": " << t.k0
            << ", \"side\": " << (t.missing_right ? "\"right\"" : "\"left\"");
        append_json_figures(out, {{"side_slope", t.side_slope}, {"centre", t.centre}});
        out << ", \"iterations\": " << t.iterations << ",\n   \"filled\": [";
        for (std::size_t i = 0; i < t.filled.size(); ++i) {
            const study_summary& st = m.included[t.filled[i].mirrored];
            out << (i == 0 ? "" : ", ") << "{\"mirrors\": ";
            named(out, st.input, st.id);
            out << '}';
            append_json_figures(out, {{"estimate", t.filled[i].b}, {"se", t.filled[i].se}});
            out << '}';
        }
        out << "],\n   \"adjusted\": ";
        append_json_models(out, *t.adjusted, std::nullopt, m.measure, true);
        out << '}';
    } else {
        out << "null";
    }
    string_member(out, "trim_and_fill_note", m.more.fill_note);
}

void write_rank(text_builder& out, const meta_analysis& m) {
    out << ",\n  \"rank_test\": ";
    if (m.more.rank) {
        const rank_correlation& r = *m.more.rank;
        out << '{';
        append_json_figures(out, {{"tau", r.tau}, {"S", r.S}, {"z", r.z}, {"p", r.p}}, true);
        out << ", \"exact\": " << (r.exact ? "true" : "false") << '}';
    } else {
        out << "null";
    }
    string_member(out, "rank_test_note", m.more.rank_note);
}

} // namespace

void write_paper_json(text_builder& out, const meta_analysis& m) {
    write_paper_analyses(out, m, {write_highest, write_regression, write_fill, write_rank});
}

void write_trend_extras_json(std::ostream& stream, const trend_extras& extras) {
    std::string text;
    text_builder out(text);
    if (const curve_subgroups* s = extras.groups) {
        out << ",\n \"curve_subgroups\": {\"groups\": [";
        for (std::size_t i = 0; i < s->groups.size(); ++i) {
            const curve_subgroup& g = s->groups[i];
            out << (i == 0 ? "\n  " : ",\n  ") << "{\"value\": ";
            append_json_string(out, g.value);
            out << ", \"k\": " << g.members.size() << ", \"curve\": ";
            out.pass_on(stream);
            write_curve_json(stream, g.curve);
            out << '}';
        }
        out << "],\n  \"tests\": [";
        for (std::size_t i = 0; i < s->differences.size(); ++i) {
            const curve_difference& d = s->differences[i];
            out << (i == 0 ? "" : ", ") << "{\"method\": ";
            append_json_string(out, d.method);
            append_json_figures(out, {{"Q", d.test.statistic}});
            out << ", \"df\": " << d.test.df;
            append_json_figures(out, {{"p", d.test.p}});
            string_member(out, "message", d.message);
            out << '}';
        }
        out << ']';
        string_member(out, "message", s->no_test);
        out << ", \"left_out\": " << s->left_out_studies.size() << '}';
    }
    if (const goodness_of_fit* g = extras.fit) {
        out << ",\n \"goodness_of_fit\": {\"trend\": ";
        append_json_string(out, shape_name(g->shape));
        string_member(out, "message", g->message);
        out << ", \"studies\": " << g->studies << ", \"categories\": " << g->categories
            << ", \"coefficients\": " << g->coefficients << ", \"beta\": [";
        for (Matrix::size_type j = 0; j < g->beta.row_count(); ++j) {
            out << (j == 0 ? "" : ", ");
            number(out, g->beta(j, 0));
        }
        out << ']';
        append_json_figures(out, {{"deviance", g->deviance}});
        out << ", \"df\": " << g->df;
        append_json_figures(out, {{"p", g->p}, {"R2", g->R2}});
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
    out.pass_on(stream);
}

} // namespace morvex
