#include "estimation/output/paper_report.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/curve_report.hpp"
#include "estimation/output/pooled_report.hpp"

#include <cmath>

namespace morvex {
namespace {

const char* const rule = "---------------------------------------------------------\n";
const char* const model_names[] = {"Fixed effect", "DerSimonian-Laird", "REML"};

void print_search(std::ostream& out, const reml_maximum& search) {
    out << (search.converged
                ? format("REML converged in %d iteration%s", search.iterations,
                         search.iterations == 1 ? "" : "s")
                : format("*** REML not converged in %d iterations; its last value is shown",
                         search.iterations))
        << format("; %d grid values of tau^2, %d local maxim%s, the highest taken.\n",
                  search.grid_points, search.maxima, search.maxima == 1 ? "um" : "a");
}

void print_left_out_of(std::ostream& out, const char* what,
                       const std::vector<left_out_study>& left_out) {
    if (!left_out.empty()) {
        out << "Left out of " << what << ":\n";
        for (const left_out_study& s : left_out) {
            out << "  " << printable(s.label) << ": " << printable(s.reason) << '\n';
        }
    }
}

void print_highest(std::ostream& out, const meta_analysis& h) {
    out << rule;
    if (!h.pooled) {
        out << "No highest versus lowest: " << printable(h.not_pooled) << ".\n";
        print_left_out_of(out, "highest versus lowest", h.left_out);
        return;
    }
    const pooled_summary& s = *h.pooled;
    const measure_words& w = words(h.measure);
    out << format("Highest versus lowest: the %s%s of each study's highest dose against its "
                  "reference, %zu studies.\n",
                  w.ratio ? "log " : "", w.name, s.studies.size());
    print_models(out, s);
    print_search(out, s.reml_search);
    out << heterogeneity_line(s.het);
    const pooled_estimate* models[] = {&s.fixed, &s.dl, &s.reml};
    if (w.ratio) { // a difference of means is shown as it is pooled, above
        out << format("%-18s %12s %12s %12s\n", w.title, w.abbreviation, "Lower 95%", "Upper 95%");
        for (int i = 0; i < 3; ++i) {
            const rr_per_increment rr = per_increment(*models[i], 1.0, h.measure);
            out << format("%-18s %12lg %12lg %12lg\n", model_names[i], rr.rr, rr.lower, rr.upper);
        }
    }
    if (h.more.reml_prediction) {
        const prediction_interval& p = *h.more.reml_prediction;
        out << format("REML prediction interval of a new study's %s (95%%, t on %d df): %lg to "
                      "%lg\n",
                      w.abbreviation, p.df, shown(h.measure, p.lower), shown(h.measure, p.upper));
    } else {
        out << "No prediction interval: " << h.more.prediction_note << ".\n";
    }
    if (h.more.reml_knapp_hartung) {
        for (const auto& [name, e] : {std::pair{model_names[1], &*h.more.dl_knapp_hartung},
                                      std::pair{model_names[2], &*h.more.reml_knapp_hartung}}) {
            const shown_interval v = shown_per(h.measure, 1.0, e->estimate, e->lower, e->upper);
            out << format("Knapp-Hartung, %s: %s %lg, 95%% limits %lg to %lg, t = %lg, df = %d, "
                          "p = %lg\n",
                          name, w.abbreviation, v.value, v.lower, v.upper, e->t, e->df, e->p);
        }
    }
    if (w.ratio) {
        out << format("%12s %12s %12s %8s  %s\n", "Log RR", "SE", "RR", "REML %", "Study");
    } else {
        out << format("%12s %12s %8s  %s\n", w.abbreviation, "SE", "REML %", "Study");
    }
    for (std::size_t i = 0; i < s.studies.size(); ++i) {
        const slope_estimate& e = s.studies[i];
        out << format("%12lg %12lg ", e.b, e.se)
            << (w.ratio ? format("%12lg ", shown(h.measure, e.b)) : std::string())
            << format("%8.2f  %s\n", s.reml.weight_percent[i], printable(e.label).c_str());
    }
    print_left_out_of(out, "highest versus lowest", h.left_out);
}

void print_regression(std::ostream& out, const meta_analysis& m) {
    const regression_analysis& a = *m.more.regression;
    const meta_regression& r = a.fit;
    out << rule << "Meta-regression of the slopes on ";
    for (std::size_t j = 0; j < a.moderators.size(); ++j) {
        out << (j == 0 ? "" : ", ") << quoted(a.moderators[j].name)
            << (a.moderators[j].numeric ? " (numeric)" : " (categories)");
    }
    out << format(", %zu studies.\n", a.members.size());
    if (!r.message.empty()) {
        out << "No meta-regression: " << printable(r.message) << ".\n";
    } else {
        out << format("Mixed effects, residual tau^2 by REML%s.\n",
                      r.knapp_hartung ? "; Knapp-Hartung: SEs scaled by the weighted residual "
                                        "mean square, t on k - m df"
                                      : "");
        for (const std::string& b : r.baselines) {
            out << "Baseline " << printable(b) << ".\n";
        }
        out << format("%-24s %12s %12s %12s %12s %12s %12s\n", "Term", "Estimate", "SE",
                      "Lower 95%", "Upper 95%", r.knapp_hartung ? "t" : "z", "p");
        for (const regression_term& t : r.terms) {
            out << format("%-24s %12lg %12lg %12lg %12lg %12lg %12lg\n", printable(t.name).c_str(),
                          t.estimate, t.se, t.lower, t.upper, t.statistic, t.p);
        }
        out << (r.knapp_hartung
                    ? format("Test of the moderators: F = %lg, df = %d and %d, p = %lg\n",
                             r.omnibus, r.omnibus_df, r.df, r.omnibus_p)
                    : format("Test of the moderators: chi^2 = %lg, df = %d, p = %lg\n", r.omnibus,
                             r.omnibus_df, r.omnibus_p))
            << format("Residual heterogeneity: Q = %lg, df = %d, p = %lg, I^2 = %lg%%\n",
                      r.residual.Q, r.residual.df, r.residual.p, r.residual.I2)
            << format("Residual tau^2 = %lg; without moderators %lg; R^2 = ", r.tau2,
                      r.tau2_without)
            << (std::isfinite(r.R2) ? format("%lg%%\n", r.R2)
                                    : std::string("- (no heterogeneity to explain)\n"));
        print_search(out, r.search);
    }
    if (!a.left_out_studies.empty()) {
        out << "Left out of the meta-regression:\n";
        for (const auto& l : a.left_out_studies) {
            out << "  " << printable(m.included[l.study].label) << ": "
                << (l.refused ? "refused: " : "") << printable(l.reason) << '\n';
        }
    }
}

void print_fill(std::ostream& out, const meta_analysis& m) {
    out << rule;
    if (!m.more.fill) {
        out << "No trim-and-fill: " << printable(m.more.fill_note) << ".\n";
        return;
    }
    const trim_and_fill& t = *m.more.fill;
    out << format("Trim-and-fill (%s, %s): %d stud%s missing on the %s",
                  estimator_name(t.estimator), tau2_method_name(t.model), t.k0,
                  t.k0 == 1 ? "y" : "ies", t.missing_right ? "right" : "left")
        << format(" (the SE's coefficient in the meta-regression on the SE is %lg); %d "
                  "iteration%s.\n",
                  t.side_slope, t.iterations, t.iterations == 1 ? "" : "s");
    if (!t.filled.empty()) {
        out << format("Filled studies, mirrored about %lg:\n", t.centre)
            << format("%12s %12s  %s\n", "Slope", "SE", "Mirrors");
        for (const filled_study& f : t.filled) {
            out << format("%12lg %12lg  %s\n", f.b, f.se,
                          printable(m.pooled->studies[f.mirrored].label).c_str());
        }
    }
    const pooled_summary& s = *t.adjusted;
    out << format("Adjusted pooling of %zu studies (%zu and %d filled):\n", s.studies.size(),
                  m.pooled->studies.size(), t.k0);
    print_models(out, s);
    out << heterogeneity_line(s.het);
}

void print_rank(std::ostream& out, const meta_analysis& m) {
    out << rule;
    if (!m.more.rank) {
        out << "No rank correlation test: " << printable(m.more.rank_note) << ".\n";
        return;
    }
    const rank_correlation& r = *m.more.rank;
    out << "Begg's rank correlation test (Kendall's tau between the standardised slopes and "
           "their variances):\n"
        << format("tau = %lg, S = %lg, ", r.tau, r.S)
        << (r.exact ? format("p = %lg (exact null distribution of S: %zu studies, no ties)\n", r.p,
                             m.pooled->studies.size())
                    : format("z = %lg, p = %lg (normal approximation%s)\n", r.z, r.p,
                             m.pooled->studies.size() < exact_rank_limit ? ", with ties" : ""));
}

void print_fit(std::ostream& out, const goodness_of_fit& g) {
    out << '\n'
        << rule << "Goodness of fit of the " << shape_name(g.shape)
        << " trend: the fixed-effect model over every exposed category.\n";
    if (!g.message.empty()) {
        out << "No goodness of fit: " << printable(g.message) << ".\n";
        return;
    }
    out << format("Studies %d, exposed categories N = %d, coefficients p = %d.\n", g.studies,
                  g.categories, g.coefficients)
        << format("Deviance D = %lg, df = N - p = %d, p = %lg\n", g.deviance, g.df, g.p)
        << format("R^2 = 1 - D / sum y'S^-1 y = %lg\n", g.R2)
        << "Decorrelated residuals L^-1 r (S = L L'):\n"
        << format("%14s %14s  %s\n", "Dose", "Residual", "Study");
    for (const study_residuals& s : g.residuals) {
        for (std::size_t i = 0; i < s.doses.size(); ++i) {
            out << format("%14lg %14lg  %s\n", s.doses[i], s.residuals[i],
                          printable(s.label).c_str());
        }
    }
}

void print_groups(std::ostream& out, const curve_subgroups& s) {
    for (const curve_subgroup& g : s.groups) {
        out << '\n'
            << rule
            << format("Subgroup %s: %zu stud%s.\n", quoted(g.value).c_str(), g.members.size(),
                      g.members.size() == 1 ? "y" : "ies");
        print_curve(out, g.curve);
    }
    out << '\n' << rule;
    if (!s.left_out_studies.empty()) {
        out << "Left out of the subgroups' curves: " << s.left_out_studies.size()
            << " studies without a value.\n";
    }
    if (!s.no_test.empty()) {
        out << "No test that the curves differ: " << s.no_test << ".\n";
        return;
    }
    out << "Test that the subgroups' curves differ (Q_b about their fixed-effect combination):\n"
        << format("%-18s %12s %4s %12s\n", "Method", "Q_b", "df", "p");
    for (const curve_difference& d : s.differences) {
        const char* name = d.method == "fixed"     ? "Fixed effect"
                           : d.method == "moments" ? "Method of moments"
                                                   : "REML";
        if (!d.message.empty()) {
            out << format("%-18s ", name) << "none: " << printable(d.message) << '\n';
        } else {
            out << format("%-18s %12lg %4d %12lg\n", name, d.test.statistic, d.test.df, d.test.p);
        }
    }
}

} // namespace

const char* estimator_name(fill_estimator e) {
    return e == fill_estimator::r0 ? "R0" : "L0";
}

const char* tau2_method_name(tau2_method m) {
    return m == tau2_method::fixed ? "fixed effect" : m == tau2_method::dl ? "DL" : "REML";
}

void print_paper_analyses(std::ostream& out, const meta_analysis& m) {
    write_paper_analyses(out, m, {print_highest, print_regression, print_fill, print_rank});
}

void print_trend_extras(std::ostream& out, const trend_extras& extras) {
    if (extras.groups != nullptr) {
        print_groups(out, *extras.groups);
    }
    if (extras.fit != nullptr) {
        print_fit(out, *extras.fit);
    }
}

std::vector<std::string> analyses_not_done(const meta_analysis& m, const trend_extras& extras) {
    std::vector<std::string> lines;
    if (m.more.highest && !m.more.highest->pooled) {
        lines.push_back("no highest versus lowest: " + m.more.highest->not_pooled);
    }
    if (m.more.regression && !m.more.regression->fit.message.empty()) {
        lines.push_back("no meta-regression: " + m.more.regression->fit.message);
    }
    if (m.pooled && m.asked.trim_and_fill && !m.more.fill) {
        lines.push_back("no trim-and-fill: " + m.more.fill_note);
    }
    if (m.pooled && m.asked.rank_test && !m.more.rank) {
        lines.push_back("no rank correlation test: " + m.more.rank_note);
    }
    if (extras.fit != nullptr && !extras.fit->message.empty()) {
        lines.push_back("no goodness of fit: " + extras.fit->message);
    }
    return lines;
}

} // namespace morvex
