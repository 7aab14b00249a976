#include "estimation/output/summary_table.hpp"

#include "estimation/base/distributions.hpp"
#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/csv.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/summary_rows.hpp"

#include <cmath>
#include <sstream>

namespace morvex {
namespace summary {
namespace {

// A run of means names the last figures md, md_lower, md_upper (or smd, ...).
std::string header_of(outcome_measure measure) {
    const std::string code = words(measure).code;
    return "analysis,subgroup,left_out_input,left_out_id,model,k,estimate,se,lower,upper,z,t,t_df,"
           "p,tau2,Q,df,p_Q,I2,pi_lower,pi_upper,increment," +
           code + ',' + code + "_lower," + code + "_upper,note";
}

const char* const trend_header = ",coefficient,chi2,chi2_df,dose,reference_dose";

const char* const paper_header = ",term,study_input,study_id,F,F_df1,F_df2,R2,k0,side";

} // namespace

void write(table& t, const row& r) {
    std::ostream& out = t.out;
    out << r.analysis << ',';
    write_csv_field(out, r.subgroup);
    out << ',';
    write_csv_field(out, r.left_out_input);
    out << ',';
    write_csv_field(out, r.left_out_id);
    out << ',' << r.model;
    for (const double v :
         {r.k,        r.estimate, r.se,        r.lower, r.upper,    r.z,       r.t,
          r.t_df,     r.p,        r.tau2,      r.Q,     r.df,       r.p_Q,     r.I2,
          r.pi_lower, r.pi_upper, r.increment, r.rr,    r.rr_lower, r.rr_upper}) {
        out << ',' << shortest(v);
    }
    out << ',';
    write_csv_field(out, r.note);
    if (t.trend || t.paper) {
        for (const double v : {r.coefficient, r.chi2, r.chi2_df, r.dose, r.reference_dose}) {
            out << ',' << shortest(v);
        }
    }
    out << ',' << shortest(r.pi_rr_lower) << ',' << shortest(r.pi_rr_upper);
    if (t.paper) {
        for (const std::string* text : {&r.term, &r.study_input, &r.study_id}) {
            out << ',';
            write_csv_field(out, *text);
        }
        for (const double v : {r.F, r.F_df1, r.F_df2, r.R2, r.k0}) {
            out << ',' << shortest(v);
        }
        out << ',' << r.side;
    }
    out << "\r\n";
}

namespace {

// The row's estimate and limits as the RR per increment (per unit without
// one), or for means as the MD.
void add_increment(row& r, const meta_analysis& m) {
    const std::optional<double>& increment = m.increment;
    const rr_per_increment rr =
        per_increment(r.estimate, r.lower, r.upper, rr_step(increment), m.measure);
    r.increment = rr_step(increment);
    r.rr = rr.rr;
    r.rr_lower = rr.lower;
    r.rr_upper = rr.upper;
    if (!std::isnan(r.pi_lower)) {
        const rr_per_increment pi =
            per_increment(r.pi_lower, r.pi_lower, r.pi_upper, rr_step(increment), m.measure);
        r.pi_rr_lower = pi.lower;
        r.pi_rr_upper = pi.upper;
    }
}

// The figures every summary row has: what it is, how many studies, the estimate and its limits.
template <class Estimate>
row summary_row(const char* analysis, const char* model, std::size_t k, const Estimate& e) {
    row r;
    r.analysis = analysis;
    r.model = model;
    r.k = static_cast<double>(k);
    r.estimate = e.estimate;
    r.se = e.se;
    r.lower = e.lower;
    r.upper = e.upper;
    return r;
}

} // namespace

row model_row(const char* analysis, const char* model, const pooled_estimate& e, std::size_t k,
              const heterogeneity* het, const meta_analysis& m) {
    row r = summary_row(analysis, model, k, e);
    r.z = e.z;
    r.p = e.p;
    if (std::string(model) != "fixed") {
        r.tau2 = e.tau2;
        if (const auto pi = predict(e, k)) {
            r.pi_lower = pi->lower;
            r.pi_upper = pi->upper;
        }
    }
    if (het != nullptr) {
        r.Q = het->Q;
        r.df = het->df;
        r.p_Q = het->p;
        r.I2 = het->I2;
    }
    add_increment(r, m);
    return r;
}

// The three models of one pooling.
void write_pooling(table& out, const row& names, const pooled_summary& s, const meta_analysis& m) {
    const std::pair<const char*, const pooled_estimate*> models[] = {
        {"fixed", &s.fixed}, {"dl", &s.dl}, {"reml", &s.reml}};
    for (const auto& [model, e] : models) {
        row r = model_row(names.analysis, model, *e, s.k, &s.het, m);
        r.subgroup = names.subgroup;
        r.left_out_input = names.left_out_input;
        r.left_out_id = names.left_out_id;
        if (e == &s.reml && !s.reml_search.converged) {
            r.note = format("REML not converged in %d iterations; its last value is shown",
                            s.reml_search.iterations);
        }
        write(out, r);
    }
}

namespace {

row t_row(const char* analysis, const char* model, const t_interval& e, std::size_t k,
          const meta_analysis& m) {
    row r = summary_row(analysis, model, k, e);
    r.t = e.t;
    r.t_df = e.df;
    r.p = e.p;
    add_increment(r, m);
    return r;
}

void write_sensitivity(table& out, const meta_analysis& m) {
    const pooled_summary& s = *m.pooled;
    const std::size_t k = s.studies.size();
    const further_analyses& a = m.more;
    if (a.reml_knapp_hartung) {
        row dl = t_row("knapp-hartung", "dl", *a.dl_knapp_hartung, k, m);
        row reml = t_row("knapp-hartung", "reml", *a.reml_knapp_hartung, k, m);
        dl.tau2 = s.dl.tau2;
        reml.tau2 = s.reml.tau2;
        write(out, dl);
        write(out, reml);
    }
    if (m.asked.leave_one_out && a.leave_one_out.empty()) {
        row r;
        r.analysis = "leave-one-out";
        r.k = static_cast<double>(k);
        r.note = a.leave_one_out_note;
        write(out, r);
    }
    for (const left_one_out& l : a.leave_one_out) {
        row names;
        names.analysis = "leave-one-out";
        names.left_out_input = m.included[l.omitted].input;
        names.left_out_id = m.included[l.omitted].id;
        if (l.pooled) {
            write_pooling(out, names, *l.pooled, m);
        } else {
            names.k = static_cast<double>(k - 1);
            names.note = l.message;
            write(out, names);
        }
    }
    if (m.asked.egger) {
        row r;
        if (a.egger) {
            r = t_row("egger", "ols", a.egger->intercept, k, m);
            r.increment = r.rr = r.rr_lower = r.rr_upper = none; // an intercept has no RR
        } else {
            r.analysis = "egger";
            r.model = "ols";
            r.k = static_cast<double>(k);
        }
        r.note = a.egger_note;
        write(out, r);
    }
}

void write_subgroups(table& out, const meta_analysis& m) {
    const subgroup_analysis& s = *m.more.subgroups;
    std::size_t members = 0;
    for (const subgroup& g : s.groups) {
        members += g.members.size();
        if (g.pooled) {
            row names;
            names.analysis = "subgroup";
            names.subgroup = g.value;
            write_pooling(out, names, *g.pooled, m);
            continue;
        }
        for (const auto& [model, e] :
             {std::pair{"fixed", &g.fixed}, std::pair{"dl", &g.dl}, std::pair{"reml", &g.reml}}) {
            row r =
                g.usable() ? model_row("subgroup", model, *e, g.members.size(), nullptr, m) : row{};
            r.analysis = "subgroup";
            r.model = model;
            r.subgroup = g.value;
            r.k = static_cast<double>(g.members.size());
            r.note = g.usable() ? "one study: its own slope" : g.message;
            write(out, r);
        }
    }
    for (const auto& [model, d] :
         {std::pair{"fixed", &s.fixed}, std::pair{"dl", &s.dl}, std::pair{"reml", &s.reml}}) {
        row r;
        r.analysis = "subgroup-difference";
        r.model = model;
        r.k = static_cast<double>(members);
        if (*d) {
            r.Q = (*d)->Q;
            r.df = (*d)->df;
            r.p_Q = (*d)->p;
        } else {
            r.note = s.no_test;
        }
        write(out, r);
    }
}

// An estimate with its normal limits, z and p; z and p stay empty when its SE
// is 0 (a prediction at the reference dose).
void set_estimate(row& r, double estimate, double se) {
    r.estimate = estimate;
    r.se = se;
    r.lower = estimate - z_975 * se;
    r.upper = estimate + z_975 * se;
    if (se > 0.0) {
        r.z = estimate / se;
        r.p = normal_two_sided_p(r.z);
    }
}

row trend_row(const char* analysis, const curve_method& m, const curve_result& c,
              const std::string& subgroup) {
    row r;
    r.analysis = analysis;
    r.subgroup = subgroup;
    r.model = m.name.c_str();
    r.k = static_cast<double>(c.pooled);
    return r;
}

void write_wald(table& out, const char* analysis, const chi_square_test& w, const curve_method& m,
                const curve_result& c, const std::string& subgroup) {
    row r = trend_row(analysis, m, c, subgroup);
    r.chi2 = w.statistic;
    r.chi2_df = static_cast<double>(w.df);
    r.p = w.p;
    write(out, r);
}

// One method: a row per coefficient (tau2 holds its between-study variance),
// the Wald tests, and a row per prediction.
void write_trend_method(table& out, const curve_method& m, const curve_result& c,
                        const std::string& subgroup) {
    if (!m.available) {
        row r = trend_row("trend", m, c, subgroup);
        r.note = m.message;
        write(out, r);
        return;
    }
    const Matrix::size_type p = m.beta.row_count();
    for (Matrix::size_type j = 0; j < p; ++j) {
        row r = trend_row("trend", m, c, subgroup);
        r.coefficient = static_cast<double>(j + 1);
        set_estimate(r, m.beta(j, 0), std::sqrt(m.cov(j, j)));
        if (m.name != "fixed") {
            r.tau2 = m.psi(j, j);
        }
        if (!m.converged) {
            r.note = format("REML not converged in %d iterations (largest scaled gradient %lg, "
                            "target %lg); its last value is shown",
                            m.iterations, m.gradient, m.gradient_target);
        }
        write(out, r);
    }
    if (p > 1) {
        write_wald(out, "trend-nonlinearity", m.nonlinear, m, c, subgroup);
    }
    write_wald(out, "trend-overall", m.overall, m, c, subgroup);
    for (const prediction& pr : m.predictions) {
        row r = trend_row("trend-prediction", m, c, subgroup);
        set_estimate(r, pr.log_rr, pr.se);
        r.rr = pr.rr;
        r.rr_lower = pr.lower;
        r.rr_upper = pr.upper;
        r.dose = pr.dose;
        r.reference_dose = c.reference_dose;
        write(out, r);
    }
}

} // namespace

void write_trend(table& out, const curve_result& c, const std::string& subgroup) {
    if (!c.message.empty()) {
        row r;
        r.analysis = "trend";
        r.subgroup = subgroup;
        r.k = static_cast<double>(c.pooled);
        r.note = "no pooled trend: " + c.message;
        write(out, r);
        return;
    }
    row r;
    r.analysis = "trend-heterogeneity";
    r.subgroup = subgroup;
    r.k = static_cast<double>(c.pooled);
    r.Q = c.heterogeneity.statistic;
    r.df = static_cast<double>(c.heterogeneity.df);
    r.p_Q = c.heterogeneity.p;
    r.I2 = c.I2;
    write(out, r);
    for (const curve_method& m : c.methods) {
        write_trend_method(out, m, c, subgroup);
    }
}

} // namespace summary

std::string summary_table(const meta_analysis& m, const curve_result* curve,
                          const trend_extras& extras) {
    using namespace summary;
    std::ostringstream text;
    const analysis_request& a = m.asked;
    table out{text, curve != nullptr,
              a.highest_vs_lowest || !a.moderators.empty() || a.trim_and_fill || a.rank_test ||
                  extras.fit != nullptr || extras.groups != nullptr};
    const std::string code = words(m.measure).code;
    text << header_of(m.measure) << (out.trend || out.paper ? trend_header : "") << ",pi_" << code
         << "_lower,pi_" << code << "_upper" << (out.paper ? paper_header : "") << "\r\n";
    if (m.pooled) {
        row names;
        write_pooling(out, names, *m.pooled, m);
        write_sensitivity(out, m);
    } else {
        row r;
        r.k = static_cast<double>(m.included.size());
        r.note = "no pooling: " + m.not_pooled;
        write(out, r);
    }
    if (m.more.subgroups) {
        write_subgroups(out, m);
    }
    write_paper_rows(out, m);
    if (curve != nullptr) {
        write_trend(out, *curve);
    }
    write_trend_extra_rows(out, extras);
    return text.str();
}

} // namespace morvex
