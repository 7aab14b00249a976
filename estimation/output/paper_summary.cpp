// The summary table's rows of paper_report's analyses.
#include "estimation/output/summary_rows.hpp"

#include <cmath>

namespace morvex::summary {
namespace {

const char* model_code(tau2_method m) {
    return m == tau2_method::fixed ? "fixed" : m == tau2_method::dl ? "dl" : "reml";
}

// The RR columns (MD for means) of a row of Knapp-Hartung figures: as shown,
// without an increment.
void add_shown(row& r, outcome_measure measure) {
    const shown_interval v = shown_per(measure, 1.0, r.estimate, r.lower, r.upper);
    r.rr = v.value;
    r.rr_lower = v.lower;
    r.rr_upper = v.upper;
}

void write_highest(table& out, const meta_analysis& h) {
    if (!h.pooled) {
        row r;
        r.analysis = "highest-vs-lowest";
        r.k = static_cast<double>(h.included.size());
        r.note = "no pooling: " + h.not_pooled;
        write(out, r);
        return;
    }
    const pooled_summary& s = *h.pooled;
    const std::pair<const char*, const pooled_estimate*> models[] = {
        {"fixed", &s.fixed}, {"dl", &s.dl}, {"reml", &s.reml}};
    for (const auto& [model, e] : models) {
        // Without an increment its RR columns (MD for means) show the estimate itself.
        write(out, model_row("highest-vs-lowest", model, *e, s.studies.size(), &s.het, h));
    }
    if (h.more.reml_knapp_hartung) {
        for (const auto& [model, e] : {std::pair{"dl", &*h.more.dl_knapp_hartung},
                                       std::pair{"reml", &*h.more.reml_knapp_hartung}}) {
            row r;
            r.analysis = "highest-vs-lowest-knapp-hartung";
            r.model = model;
            r.k = static_cast<double>(s.studies.size());
            r.estimate = e->estimate;
            r.se = e->se;
            r.lower = e->lower;
            r.upper = e->upper;
            r.t = e->t;
            r.t_df = e->df;
            r.p = e->p;
            add_shown(r, h.measure);
            write(out, r);
        }
    }
}

void write_regression(table& out, const meta_analysis& m) {
    const regression_analysis& a = *m.more.regression;
    const meta_regression& f = a.fit;
    row base;
    base.analysis = "meta-regression";
    base.model = "reml";
    base.k = static_cast<double>(a.members.size());
    if (!f.message.empty()) {
        base.note = "no meta-regression: " + f.message;
        write(out, base);
        return;
    }
    for (std::size_t j = 0; j < f.terms.size(); ++j) {
        const regression_term& t = f.terms[j];
        row r = base;
        r.term = t.name;
        r.coefficient = static_cast<double>(j + 1);
        r.estimate = t.estimate;
        r.se = t.se;
        r.lower = t.lower;
        r.upper = t.upper;
        (f.knapp_hartung ? r.t : r.z) = t.statistic;
        r.t_df = f.knapp_hartung ? f.df : none;
        r.p = t.p;
        r.tau2 = f.tau2;
        write(out, r);
    }
    row test = base;
    test.analysis = "meta-regression-test";
    if (f.knapp_hartung) {
        test.F = f.omnibus;
        test.F_df1 = f.omnibus_df;
        test.F_df2 = f.df;
    } else {
        test.chi2 = f.omnibus;
        test.chi2_df = f.omnibus_df;
    }
    test.p = f.omnibus_p;
    write(out, test);
    row residual = base;
    residual.analysis = "meta-regression-residual";
    residual.Q = f.residual.Q;
    residual.df = f.residual.df;
    residual.p_Q = f.residual.p;
    residual.I2 = f.residual.I2;
    residual.tau2 = f.tau2;
    residual.R2 = f.R2;
    if (!std::isfinite(f.R2)) {
        residual.note = "no R2: tau2 without moderators is 0";
    }
    write(out, residual);
}

void write_fill(table& out, const meta_analysis& m) {
    if (!m.more.fill) {
        row r;
        r.analysis = "trim-and-fill";
        r.model = model_code(m.asked.fill_model);
        r.k = static_cast<double>(m.pooled->studies.size());
        r.note = m.more.fill_note;
        write(out, r);
        return;
    }
    const trim_and_fill& t = *m.more.fill;
    row names;
    names.analysis = "trim-and-fill";
    names.k0 = t.k0;
    names.side = t.missing_right ? "right" : "left";
    names.note = std::string("estimator ") + estimator_name(t.estimator) + ", side and centre by " +
                 tau2_method_name(t.model);
    write_pooling(out, names, *t.adjusted, m);
    for (const filled_study& f : t.filled) {
        row r;
        r.analysis = "trim-and-fill-filled";
        r.model = model_code(t.model);
        r.estimate = f.b;
        r.se = f.se;
        r.study_input = m.included[f.mirrored].input;
        r.study_id = m.included[f.mirrored].id;
        write(out, r);
    }
}

void write_rank(table& out, const meta_analysis& m) {
    row r;
    r.analysis = "rank-test";
    r.model = "kendall";
    r.k = static_cast<double>(m.pooled->studies.size());
    if (!m.more.rank) {
        r.note = m.more.rank_note;
        write(out, r);
        return;
    }
    r.estimate = m.more.rank->tau;
    r.z = m.more.rank->z;
    r.p = m.more.rank->p;
    r.note = m.more.rank->exact ? "exact" : "normal approximation";
    write(out, r);
}

} // namespace

void write_paper_rows(table& out, const meta_analysis& m) {
    write_paper_analyses(out, m, {write_highest, write_regression, write_fill, write_rank});
}

void write_trend_extra_rows(table& out, const trend_extras& extras) {
    if (const curve_subgroups* s = extras.groups) {
        for (const curve_subgroup& g : s->groups) {
            write_trend(out, g.curve, g.value);
        }
        for (const curve_difference& d : s->differences) {
            row r;
            r.analysis = "trend-subgroup-difference";
            r.model = d.method.c_str();
            r.chi2 = d.test.statistic;
            r.chi2_df = d.message.empty() ? d.test.df : none;
            r.p = d.test.p;
            r.note = d.message;
            write(out, r);
        }
        if (!s->no_test.empty()) {
            row r;
            r.analysis = "trend-subgroup-difference";
            r.note = s->no_test;
            write(out, r);
        }
    }
    if (const goodness_of_fit* g = extras.fit) {
        row r;
        r.analysis = "goodness-of-fit";
        r.model = "fixed";
        r.k = g->studies;
        r.note = g->message;
        if (g->message.empty()) {
            r.chi2 = g->deviance;
            r.chi2_df = g->df;
            r.p = g->p;
            r.R2 = g->R2;
        }
        write(out, r);
        for (const study_residuals& s : g->residuals) {
            for (std::size_t i = 0; i < s.doses.size(); ++i) {
                row e;
                e.analysis = "goodness-of-fit-residual";
                e.model = "fixed";
                e.study_input = s.input;
                e.study_id = s.id;
                e.dose = s.doses[i];
                e.estimate = s.residuals[i];
                write(out, e);
            }
        }
    }
}

} // namespace morvex::summary
