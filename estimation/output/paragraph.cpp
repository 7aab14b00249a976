#include "estimation/output/paragraph.hpp"

#include "estimation/base/format.hpp"
#include "estimation/method/dose_basis.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/paragraph_paper.hpp"
#include "estimation/output/paragraph_words.hpp"
#include "estimation/output/printed_figures.hpp"

#include <algorithm>
#include <sstream>
#include <vector>

namespace morvex {
namespace {

using namespace sentences; // the words and the further analyses' sentences

void covariance_methods(std::ostream& out, const paragraph_settings& s, outcome_measure measure) {
    if (is_continuous(measure) && s.covariance != covariance_kind::indep) {
        out << (measure == outcome_measure::mean_difference
                    ? "Each study's mean differences against its reference category were taken "
                      "with their covariance, the variance of the shared reference mean"
                    : "Each study's standardised mean differences (Hedges' g, with the study's "
                      "pooled SD) against its reference category were taken with their "
                      "covariance through the shared reference (Gleser and Olkin)")
            << ". ";
        return;
    }
    switch (s.covariance) {
    case covariance_kind::gl:
        out << "The covariance of each study's log relative risks was reconstructed from its "
               "published cases and totals (Greenland and Longnecker, 1992)";
        break;
    case covariance_kind::hamling:
        out << "The covariance of each study's log relative risks was reconstructed from "
               "pseudo-counts that reproduce its published relative risks and confidence limits "
               "(Hamling et al., 2008)";
        break;
    case covariance_kind::indep:
        out << "Each study's "
            << (is_continuous(measure) ? words(measure).name : "log relative risk")
            << "s were taken as independent";
        break;
    }
    if (s.missing_counts_indep && s.covariance != covariance_kind::indep) {
        out << "; those of studies that give no cases or totals were taken as independent";
    }
    out << ". ";
}

void pooling_methods(std::ostream& out, const analysis_request& asked, outcome_measure measure) {
    out << "A linear trend, the slope of the " << words(measure).slope_of
        << " per unit of dose, was estimated "
           "for each study by generalized least squares, and the slopes were pooled by "
           "fixed-effect and random-effects meta-analysis (DerSimonian-Laird, and restricted "
           "maximum likelihood, REML), with heterogeneity assessed by Cochran's Q and I\xC2\xB2 "
           "and a 95% prediction interval for the random-effects summary.";
    if (asked.knapp_hartung) {
        out << " The random-effects summaries were also given Knapp-Hartung confidence limits.";
    }
    if (asked.leave_one_out) {
        out << " Each study was left out in turn to assess its influence.";
    }
    if (asked.egger) {
        out << " Small-study effects were assessed with Egger's regression test.";
    }
    if (!asked.by.empty()) {
        out << " Subgroups were formed by the values of the column " << quoted(asked.by)
            << " and compared with a test of heterogeneity between subgroups.";
    }
    paper_methods(out, asked, measure);
}

std::string shape_words(const curve_result& c) {
    switch (c.settings.shape) {
    case trend_shape::linear:
        return "linear trend";
    case trend_shape::quadratic:
        return "quadratic trend (dose and dose squared)";
    case trend_shape::spline:
        break;
    }
    const int K = c.settings.knots.empty() ? c.settings.knot_count
                                           : static_cast<int>(c.settings.knots.size());
    std::string text = format("restricted cubic spline with %d knots", K);
    std::vector<std::string> knots(c.basis.knots.size());
    std::transform(c.basis.knots.begin(), c.basis.knots.end(), knots.begin(), printed_figure);
    if (!c.settings.knots.empty()) {
        return text + " at the doses " + listed(knots);
    }
    const std::vector<double> at = knot_percentiles(K);
    std::vector<std::string> percents(at.size());
    std::transform(at.begin(), at.end(), percents.begin(),
                   [](double percent) { return shortest(percent); });
    text += " at percentiles " + listed(percents) + " of the doses";
    return knots.empty() ? text : text + " (" + listed(knots) + ")";
}

void curve_methods(std::ostream& out, const curve_result& c, const trend_extras& extras,
                   const std::string& by) {
    out << " The dose-response relation was also modelled with a " << shape_words(c)
        << (c.settings.one_stage
                ? ", fitted in one stage as a linear mixed model over every exposed category of "
                  "every study"
                : ", whose coefficients were estimated in each study and pooled by multivariate "
                  "meta-analysis")
        << " (fixed effect, method of moments and REML).";
    const int p = c.basis.coefficients();
    if (p > 1) {
        out << " Non-linearity was tested with a Wald test that "
            << (p == 2 ? "the coefficient beyond the linear one is zero."
                       : "the coefficients beyond the linear one are zero.");
    }
    if (extras.groups != nullptr) {
        out << " The trend was also pooled in two stages within each subgroup of " << quoted(by)
            << (c.basis.knots.empty() ? "" : ", with the knots of the whole analysis")
            << ", and the subgroups' curves were compared with a test of their heterogeneity "
               "(Q_b).";
    }
}

void pooled_results(std::ostream& out, const meta_analysis& m, const paragraph_settings& s) {
    if (!m.pooled) {
        out << " The slopes could not be pooled: " << printable(m.not_pooled) << '.';
        return;
    }
    const pooled_summary& p = *m.pooled;
    const double step = rr_step(s.increment);
    const rr_per_increment reml = per_increment(p.reml, step, m.measure);
    const rr_per_increment fixed = per_increment(p.fixed, step, m.measure);
    out << " The pooled " << words(m.measure).name << ' ' << per_dose(s) << " was "
        << rr_open(reml.rr, reml.lower, reml.upper) << ", " << journal_p(p.reml.p)
        << format(") in the random-effects model (REML, %zu studies", p.studies.size())
        << (p.reml_search.converged ? "" : ", not converged") << "; fixed effect "
        << rr_open(fixed.rr, fixed.lower, fixed.upper) << ")), with "
        << heterogeneity_text(p.het.I2, p.het.Q, p.het.df, p.het.p)
        << " and \xCF\x84\xC2\xB2 = " << printed_figure(p.reml.tau2);
    if (m.more.reml_prediction) {
        const rr_per_increment pi =
            per_increment(p.reml.estimate, m.more.reml_prediction->lower,
                          m.more.reml_prediction->upper, rr_step(s.increment), m.measure);
        const printed_interval printed = printed_rr(reml.rr, pi.lower, pi.upper);
        out << "; the 95% prediction interval was " << printed.lower << " to " << printed.upper;
    }
    out << '.';
}

void analyses_results(std::ostream& out, const meta_analysis& m, const paragraph_settings& s) {
    if (!m.pooled) {
        return;
    }
    const further_analyses& a = m.more;
    const rr_per_increment overall = per_increment(m.pooled->reml, rr_step(s.increment), m.measure);
    if (m.asked.knapp_hartung && a.reml_knapp_hartung) {
        const t_interval& t = *a.reml_knapp_hartung;
        const rr_per_increment rr =
            per_increment(t.estimate, t.lower, t.upper, rr_step(s.increment), m.measure);
        out << " With Knapp-Hartung limits the REML summary was "
            << rr_open(rr.rr, rr.lower, rr.upper) << ", " << journal_p(t.p) << ").";
    }
    if (m.asked.leave_one_out) {
        std::vector<double> rrs;
        for (const left_one_out& l : a.leave_one_out) {
            if (l.pooled) {
                rrs.push_back(per_increment(l.pooled->reml, rr_step(s.increment), m.measure).rr);
            }
        }
        if (rrs.empty()) {
            out << " No study could be left out in turn: " << printable(a.leave_one_out_note)
                << '.';
        } else {
            const auto [low, high] = std::minmax_element(rrs.begin(), rrs.end());
            const printed_interval printed = printed_rr(overall.rr, *low, *high);
            out << " Leaving out one study at a time, the REML summary ranged from "
                << printed.lower << " to " << printed.upper << '.';
        }
    }
    if (m.asked.egger) {
        if (a.egger && a.egger->message.empty()) {
            out << " Egger's test for small-study effects gave " << journal_p(a.egger->intercept.p);
            if (m.pooled->studies.size() < egger_power_threshold) {
                out << format(" (with %zu studies, a test of little power)",
                              m.pooled->studies.size());
            }
            out << '.';
        } else {
            out << " Egger's test could not be computed: "
                << printable(a.egger ? a.egger->message : a.egger_note) << '.';
        }
    }
    if (!m.asked.by.empty() && a.subgroups) {
        std::vector<std::string> groups;
        for (const subgroup& g : a.subgroups->groups) {
            if (g.usable()) {
                const rr_per_increment rr = per_increment(g.reml, rr_step(s.increment), m.measure);
                groups.push_back(printable(g.value) + " " + rr_open(rr.rr, rr.lower, rr.upper) +
                                 format(", %zu %s)", g.members.size(),
                                        g.members.size() == 1 ? "study" : "studies"));
            }
        }
        out << " By " << printable(m.asked.by) << ": " << listed(groups) << "; ";
        if (a.subgroups->reml) {
            out << "test for subgroup differences (REML) " << journal_p(a.subgroups->reml->p)
                << '.';
        } else {
            out << printable(a.subgroups->no_test) << '.'; // it names the test
        }
    }
}

// The predictions a paper quotes: those asked for with --at, else those at the
// knots and at the largest dose (for a spline) or at the middle and the
// largest dose of the default list; never the reference dose itself.
std::vector<const prediction*> quoted_predictions(const curve_result& c, const curve_method& m) {
    std::vector<const prediction*> chosen;
    const std::vector<prediction>& all = m.predictions;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const prediction& pr = all[i];
        const bool knot =
            std::find(c.basis.knots.begin(), c.basis.knots.end(), pr.dose) != c.basis.knots.end();
        const bool wanted = !c.settings.at.empty() || i + 1 == all.size() ||
                            (c.basis.knots.empty() ? i == all.size() / 2 : knot);
        if (wanted && pr.dose != c.reference_dose && chosen.size() < named_studies) {
            chosen.push_back(&pr);
        }
    }
    return chosen;
}

void curve_results(std::ostream& out, const curve_result& c, const paragraph_settings& s) {
    const std::string shape = shape_name(c.settings.shape);
    if (!c.message.empty()) {
        out << " No pooled " << shape << " trend: " << printable(c.message) << '.';
        return;
    }
    const auto available = [](const curve_method& m) { return m.available; };
    auto chosen = std::find_if(c.methods.rbegin(), c.methods.rend(), available);
    if (chosen == c.methods.rend()) {
        out << " No method could pool the " << shape << " trend.";
        return;
    }
    const curve_method& m = *chosen;
    std::vector<named_reason> unusable;
    for (const study_coefficients& study : c.studies) {
        if (!study.fit.usable && !c.settings.one_stage) {
            unusable.push_back({study.input, study.id, study.fit.reason});
        }
    }
    out << format(" The %s trend was pooled over %d studies", shape.c_str(), c.pooled);
    if (!unusable.empty()) {
        out << format("; %zu could not carry it: ", unusable.size())
            << studies_with_reasons(unusable);
    }
    out << ". ";
    const bool curved = c.basis.coefficients() > 1;
    const chi_square_test& test = curved ? m.nonlinear : m.overall;
    out << (curved ? "The test for non-linearity gave " : "The test of no trend gave ")
        << journal_p(test.p) << " (" << method_words(m.name)
        << ", \xCF\x87\xC2\xB2 = " << printed_statistic(test.statistic)
        << format(", df = %d), with ", test.df)
        << heterogeneity_text(c.I2, c.heterogeneity.statistic, c.heterogeneity.df,
                              c.heterogeneity.p)
        << '.';
    const std::vector<const prediction*> picked = quoted_predictions(c, m);
    std::vector<std::string> at(picked.size());
    std::transform(picked.begin(), picked.end(), at.begin(), [&s](const prediction* pr) {
        return rr_open(pr->rr, pr->lower, pr->upper) + ") at " + dose_text(pr->dose, s);
    });
    if (!at.empty()) {
        out << " Against a dose of " << dose_text(c.reference_dose, s) << ", the pooled "
            << words(c.settings.measure).name << " (" << method_words(m.name) << ") was "
            << listed(at) << '.';
    }
}

} // namespace

std::string results_paragraph(const meta_analysis& m, const curve_result* curve,
                              const paragraph_settings& s, const trend_extras& extras) {
    std::ostringstream out;
    out << "Methods. ";
    covariance_methods(out, s, m.measure);
    pooling_methods(out, m.asked, m.measure);
    if (curve != nullptr) {
        curve_methods(out, *curve, extras, m.asked.by);
    }
    fit_methods(out, extras);
    const std::size_t studies = m.included.size() + m.left_out.size();
    out << format("\n\nResults. %zu %s analysed", studies,
                  studies == 1 ? "study was" : "studies were");
    if (!m.left_out.empty()) {
        out << format("; %zu could not be pooled: ", m.left_out.size())
            << studies_with_reasons(named_reasons(m.left_out));
    }
    out << '.';
    pooled_results(out, m, s);
    analyses_results(out, m, s);
    paper_results(out, m, s);
    if (curve != nullptr) {
        curve_results(out, *curve, s);
    }
    trend_extra_results(out, extras, m.asked.by);
    out << '\n';
    return out.str();
}

} // namespace morvex
