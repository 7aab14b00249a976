#include "estimation/output/analyses_report.hpp"

#include "estimation/base/elementary.hpp"
#include "estimation/base/format.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/paper_report.hpp"
#include "estimation/output/pooled_report.hpp"

#include <cmath>

namespace morvex {
namespace {

const char* const model_names[] = {"Fixed effect", "DerSimonian-Laird", "REML"};

// ", also as RR per 10 g/day": what the RR columns that follow a table's slope
// columns are per.
std::string also_as_rr(const meta_analysis& m) {
    return ", also as " + printable(rr_per_text({m.increment, m.unit, m.measure}));
}

// "RR", "RR lower", "RR upper" (MD for means): the headings of those columns.
struct rr_headings {
    std::string rr, lower, upper;
};
rr_headings headings_of(const meta_analysis& m) {
    const std::string name = words(m.measure).abbreviation;
    return {name, name + " lower", name + " upper"};
}

// The RR columns of a row: the estimate's (unless none is given) and its limits'.
std::string rr_columns(const meta_analysis& m, double estimate, double lower, double upper) {
    const rr_per_increment rr =
        per_increment(estimate, lower, upper, rr_step(m.increment), m.measure);
    return (std::isnan(estimate) ? std::string() : format(" %12lg", rr.rr)) +
           format(" %12lg %12lg", rr.lower, rr.upper);
}

void print_prediction(std::ostream& out, const meta_analysis& m) {
    const further_analyses& a = m.more;
    if (!a.reml_prediction) {
        out << "No prediction interval: " << a.prediction_note << ".\n";
        return;
    }
    out << format("Prediction interval of a new study's slope (95%%, t on %d df)",
                  a.reml_prediction->df)
        << also_as_rr(m) << ":\n"
        << format("%-18s %12s %12s %12s %12s\n", "Method", "Lower 95%", "Upper 95%",
                  headings_of(m).lower.c_str(), headings_of(m).upper.c_str());
    for (const auto& [name, p] : {std::pair{model_names[1], &a.dl_prediction},
                                  std::pair{model_names[2], &a.reml_prediction}}) {
        out << format("%-18s %12lg %12lg", name, (*p)->lower, (*p)->upper)
            << rr_columns(m, not_computed, (*p)->lower, (*p)->upper) << '\n';
    }
}

void print_knapp_hartung(std::ostream& out, const meta_analysis& m) {
    const further_analyses& a = m.more;
    out << format("Knapp-Hartung (t on %d df)", a.reml_knapp_hartung->df) << also_as_rr(m) << ":\n"
        << format("%-18s %12s %12s %12s %12s %12s %12s %12s %12s %12s\n", "Method", "Estimate",
                  "SE", "Lower 95%", "Upper 95%", "t", "p", headings_of(m).rr.c_str(),
                  headings_of(m).lower.c_str(), headings_of(m).upper.c_str());
    for (const auto& [name, e] : {std::pair{model_names[1], &*a.dl_knapp_hartung},
                                  std::pair{model_names[2], &*a.reml_knapp_hartung}}) {
        out << format("%-18s %12lg %12lg %12lg %12lg %12lg %12lg", name, e->estimate, e->se,
                      e->lower, e->upper, e->t, e->p)
            << rr_columns(m, e->estimate, e->lower, e->upper) << '\n';
    }
}

void print_leave_one_out(std::ostream& out, const meta_analysis& m) {
    const further_analyses& a = m.more;
    if (a.leave_one_out.empty()) {
        out << "No leave-one-out: " << a.leave_one_out_note << ".\n";
        return;
    }
    out << "Leave-one-out: the pooling without each study in turn" << also_as_rr(m) << ".\n"
        << format("%-18s %12s %12s %12s %12s %12s %12s %8s %12s %12s %12s  %s\n", "Method",
                  "Estimate", "SE", "Lower 95%", "Upper 95%", "tau^2", "Q", "I^2",
                  headings_of(m).rr.c_str(), headings_of(m).lower.c_str(),
                  headings_of(m).upper.c_str(), "Left out");
    for (const left_one_out& r : a.leave_one_out) {
        const std::string label = printable(m.pooled->studies[r.omitted].label);
        if (!r.pooled) {
            out << format("%-18s %s  %s\n", "(none)", printable(r.message).c_str(), label.c_str());
            continue;
        }
        const pooled_estimate* models[] = {&r.pooled->fixed, &r.pooled->dl, &r.pooled->reml};
        for (int i = 0; i < 3; ++i) {
            const pooled_estimate& e = *models[i];
            out << format("%-18s %12lg %12lg %12lg %12lg %12lg %12lg %8.2f", model_names[i],
                          e.estimate, e.se, e.lower, e.upper, e.tau2, r.pooled->het.Q,
                          r.pooled->het.I2)
                << rr_columns(m, e.estimate, e.lower, e.upper) << "  " << label << '\n';
        }
    }
}

void print_egger(std::ostream& out, const meta_analysis& m) {
    const further_analyses& a = m.more;
    if (!a.egger) {
        out << "No Egger's test: " << a.egger_note << ".\n";
        return;
    }
    const t_interval& e = a.egger->intercept;
    out << "Egger's test for small-study effects (slope/SE on 1/SE, least squares):\n"
        << format("Intercept = %lg, SE = %lg, 95%% limits %lg to %lg, t = %lg, df = %d, p = %lg\n",
                  e.estimate, e.se, e.lower, e.upper, e.t, e.df, e.p)
        << format("Slope (the effect at infinite precision) = %lg, ", a.egger->slope)
        << printable(rr_per_text({m.increment, m.unit, m.measure}))
        << format(" = %lg; the intercept has no %s scale\n",
                  shown(m.measure, rr_step(m.increment) * a.egger->slope),
                  words(m.measure).abbreviation);
    if (!a.egger_note.empty()) {
        out << "*** Note: " << a.egger_note << ".\n";
    }
}

void print_subgroup(std::ostream& out, const subgroup& g, const meta_analysis& m) {
    out << format("Subgroup %s: %zu stud%s.\n", quoted(g.value).c_str(), g.members.size(),
                  g.members.size() == 1 ? "y" : "ies");
    if (!g.usable()) {
        out << "  not pooled: " << printable(g.message) << ".\n";
        return;
    }
    const pooled_estimate* models[] = {&g.fixed, &g.dl, &g.reml};
    for (int i = 0; i < 3; ++i) {
        const pooled_estimate& e = *models[i];
        out << format("%-18s %12lg %12lg %12lg %12lg %12lg %12lg", model_names[i], e.estimate, e.se,
                      e.lower, e.upper, e.z, e.p)
            << (i > 0 && g.pooled ? format(" %12lg", e.tau2) : format(" %12s", ""))
            << rr_columns(m, e.estimate, e.lower, e.upper) << '\n';
    }
    if (g.pooled) {
        out << heterogeneity_line(g.pooled->het);
    }
    for (const std::size_t i : g.members) {
        out << "  " << printable(m.included[i].label) << '\n';
    }
}

void print_subgroups(std::ostream& out, const meta_analysis& m) {
    const subgroup_analysis& s = *m.more.subgroups;
    out << "Subgroups by column " << quoted(m.asked.by) << also_as_rr(m) << ":\n"
        << format("%-18s %12s %12s %12s %12s %12s %12s %12s %12s %12s %12s\n", "Method", "Estimate",
                  "SE", "Lower 95%", "Upper 95%", "z", "p", "tau^2", headings_of(m).rr.c_str(),
                  headings_of(m).lower.c_str(), headings_of(m).upper.c_str());
    for (const subgroup& g : s.groups) {
        print_subgroup(out, g, m);
    }
    if (!s.no_test.empty()) {
        out << "No test for subgroup differences: " << s.no_test << ".\n";
    } else {
        out << "Test for subgroup differences:\n"
            << format("%-18s %12s %4s %12s\n", "Method", "Q between", "df", "p");
        const subgroup_difference* tests[] = {&*s.fixed, &*s.dl, &*s.reml};
        for (int i = 0; i < 3; ++i) {
            out << format("%-18s %12lg %4d %12lg\n", model_names[i], tests[i]->Q, tests[i]->df,
                          tests[i]->p);
        }
    }
    if (!s.left_out_studies.empty()) {
        out << "Left out of the subgroups:\n";
        for (const auto& l : s.left_out_studies) {
            out << "  " << printable(m.included[l.study].label) << ": " << printable(l.reason)
                << '\n';
        }
    }
}

} // namespace

void print_further_analyses(std::ostream& out, const meta_analysis& m) {
    if (m.pooled) {
        print_prediction(out, m);
        if (m.more.reml_knapp_hartung) {
            print_knapp_hartung(out, m);
        }
        if (m.asked.leave_one_out) {
            print_leave_one_out(out, m);
        }
        if (m.asked.egger) {
            print_egger(out, m);
        }
    }
    if (m.more.subgroups) {
        print_subgroups(out, m);
    }
    print_paper_analyses(out, m);
}

} // namespace morvex
