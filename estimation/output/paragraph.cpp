#include "estimation/output/paragraph.hpp"

#include "estimation/base/format.hpp"
#include "estimation/method/dose_basis.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/paper_report.hpp"
#include "estimation/output/printed_figures.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>
#include <vector>

namespace morvex {
namespace {

// A list of studies longer than this names the first ones and counts the rest.
constexpr std::size_t named_studies = 10;

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return text;
}

struct named_reason {
    std::string input, id, reason;
};

// A study as a paper names it: its id, or a setting file's name.
std::string study_name(const named_reason& s) {
    return printable(s.id.empty() ? s.input.substr(s.input.rfind('/') + 1) : s.id);
}

// The reason without the place the messages give ("refused: t.csv:8: column
// dose: study s: missing value" is "refused: column dose: missing value"): the
// study is named already.
std::string reason_text(const named_reason& s) {
    std::string reason = s.reason;
    const std::string file = printable(s.input) + ":";
    const std::size_t at = reason.find(file);
    if (at != std::string::npos) {
        std::size_t end = at + file.size();
        while (end < reason.size() && std::isdigit(static_cast<unsigned char>(reason[end])) != 0) {
            ++end;
        }
        if (reason.compare(end, 2, ": ") == 0) {
            reason.erase(at, end + 2 - at);
        }
    }
    const std::string study = "study " + printable(s.id) + ": ";
    const std::size_t named = s.id.empty() ? std::string::npos : reason.find(study);
    if (named != std::string::npos) {
        reason.erase(named, study.size());
    }
    return reason;
}

// Studies with why, the first few of a long list.
std::string studies_with_reasons(const std::vector<named_reason>& studies) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < studies.size() && i < named_studies; ++i) {
        items.push_back(study_name(studies[i]) + " (" + reason_text(studies[i]) + ")");
    }
    if (studies.size() > named_studies) {
        items.push_back(format("%zu more", studies.size() - named_studies));
    }
    return listed(items);
}

std::string unit_of(const paragraph_settings& s) {
    return s.unit.empty() || whole_label(s.unit) ? std::string() : printable(s.unit);
}

// "per 10 g/day", "per 10 units of dose", "per g/day", "per unit of dose": as
// the report's headings say it, without their "RR " or "MD ".
std::string per_dose(const paragraph_settings& s) {
    const std::string heading = rr_per_text({s.increment, unit_of(s)});
    return heading.substr(heading.find("per "));
}

// A dose in a sentence: "26.9 g/day", or "26.9".
std::string dose_text(double dose, const paragraph_settings& s) {
    const std::string unit = unit_of(s);
    return printed_figure(dose) + (unit.empty() ? "" : " " + unit);
}

// "1.07 (95% CI 1.04 to 1.10", left open for what follows inside the brackets.
std::string rr_open(double rr, double lower, double upper) {
    const printed_interval shown = printed_rr(rr, lower, upper);
    return shown.estimate + " (95% CI " + shown.lower + " to " + shown.upper;
}

std::string heterogeneity_text(double I2, double Q, int df, double p) {
    return "I\xC2\xB2 = " + printed_percent(I2) + " (Q = " + printed_statistic(Q) +
           format(", df = %d, ", df) + journal_p(p) + ")";
}

const char* method_words(const std::string& name) {
    return name == "fixed" ? "fixed effect" : name == "moments" ? "method of moments" : "REML";
}

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

// The column names of the meta-regression, quoted: "'year' and 'region'".
std::string moderator_names(const std::vector<std::string>& columns) {
    std::vector<std::string> names;
    for (const std::string& column : columns) {
        names.push_back(quoted(column));
    }
    return listed(names);
}

void paper_methods(std::ostream& out, const analysis_request& asked, outcome_measure measure) {
    if (asked.highest_vs_lowest) {
        out << " The " << words(measure).name
            << " of each study's highest dose against its reference category was pooled in the "
               "same way (highest versus lowest).";
    }
    if (!asked.moderators.empty()) {
        out << " The slopes were related to " << moderator_names(asked.moderators)
            << " by mixed-effects meta-regression (residual \xCF\x84\xC2\xB2 by REML"
            << (asked.knapp_hartung ? ", Knapp-Hartung tests" : "") << ").";
    }
    if (asked.trim_and_fill) {
        out << " Studies possibly missing through small-study effects were imputed by "
               "trim-and-fill (Duval and Tweedie, "
            << estimator_name(*asked.trim_and_fill) << " estimator, "
            << tau2_method_name(asked.fill_model) << " model).";
    }
    if (asked.rank_test) {
        out << " Small-study effects were also assessed with Begg and Mazumdar's rank correlation "
               "test.";
    }
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
    std::string words = format("restricted cubic spline with %d knots", K);
    std::vector<std::string> knots;
    for (const double knot : c.basis.knots) {
        knots.push_back(printed_figure(knot));
    }
    if (!c.settings.knots.empty()) {
        return words + " at the doses " + listed(knots);
    }
    std::vector<std::string> percents;
    for (const double percent : knot_percentiles(K)) {
        percents.push_back(shortest(percent));
    }
    words += " at percentiles " + listed(percents) + " of the doses";
    return knots.empty() ? words : words + " (" + listed(knots) + ")";
}

void fit_methods(std::ostream& out, const trend_extras& extras) {
    if (extras.fit != nullptr) {
        out << " The fit of the fixed-effect trend was assessed by its deviance over every "
               "exposed category and by R\xC2\xB2, the share of the categories' weighted sum of "
               "squares it explains.";
    }
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
        const printed_interval shown = printed_rr(reml.rr, pi.lower, pi.upper);
        out << "; the 95% prediction interval was " << shown.lower << " to " << shown.upper;
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
            const printed_interval shown = printed_rr(overall.rr, *low, *high);
            out << " Leaving out one study at a time, the REML summary ranged from " << shown.lower
                << " to " << shown.upper << '.';
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

// A coefficient of the meta-regression: "year -0.00827 (95% CI -0.0888 to 0.0723, p = 0.80)".
std::string term_text(const regression_term& t) {
    return printable(t.name) + " " + printed_figure(t.estimate) + " (95% CI " +
           printed_figure(t.lower) + " to " + printed_figure(t.upper) + ", " + journal_p(t.p) + ")";
}

void highest_results(std::ostream& out, const meta_analysis& h) {
    if (!h.pooled) {
        out << " Highest against lowest dose could not be pooled: " << printable(h.not_pooled)
            << '.';
        return;
    }
    const pooled_summary& p = *h.pooled;
    const rr_per_increment reml = per_increment(p.reml, 1.0, h.measure);
    out << " Highest against lowest dose, the pooled " << words(h.measure).name << " was "
        << rr_open(reml.rr, reml.lower, reml.upper) << ", " << journal_p(p.reml.p)
        << format("; REML, %zu studies), with ", p.studies.size())
        << heterogeneity_text(p.het.I2, p.het.Q, p.het.df, p.het.p);
    if (!h.left_out.empty()) {
        std::vector<named_reason> left_out;
        for (const left_out_study& l : h.left_out) {
            left_out.push_back({l.input, l.id, l.reason});
        }
        out << format("; %zu could not enter it: ", h.left_out.size())
            << studies_with_reasons(left_out);
    }
    out << '.';
}

void regression_results(std::ostream& out, const regression_analysis& a) {
    const meta_regression& r = a.fit;
    if (!r.message.empty()) {
        out << " No meta-regression: " << printable(r.message) << '.';
        return;
    }
    std::vector<std::string> terms;
    for (std::size_t j = 1; j < r.terms.size(); ++j) {
        terms.push_back(term_text(r.terms[j]));
    }
    out << format(" In the meta-regression of the slopes over %zu studies, the coefficient%s ", r.k,
                  terms.size() == 1 ? " was" : "s were")
        << listed(terms);
    if (!r.baselines.empty()) {
        std::vector<std::string> baselines;
        for (const std::string& b : r.baselines) {
            baselines.push_back(printable(b));
        }
        out << " (against " << listed(baselines) << ')';
    }
    out << "; the test of the moderators gave " << journal_p(r.omnibus_p)
        << (r.knapp_hartung ? " (F = " + printed_statistic(r.omnibus) +
                                  format(", df = %d and %d)", r.omnibus_df, r.df)
                            : " (\xCF\x87\xC2\xB2 = " + printed_statistic(r.omnibus) +
                                  format(", df = %d)", r.omnibus_df))
        << ", with residual I\xC2\xB2 = " << printed_percent(r.residual.I2);
    if (std::isfinite(r.R2)) {
        out << " and R\xC2\xB2 = " << printed_percent(r.R2) << " of \xCF\x84\xC2\xB2 explained";
    }
    out << '.';
}

const pooled_estimate& model_estimate(const pooled_summary& s, tau2_method model) {
    return model == tau2_method::fixed ? s.fixed : model == tau2_method::dl ? s.dl : s.reml;
}

void fill_results(std::ostream& out, const meta_analysis& m, const paragraph_settings& s) {
    if (!m.more.fill) {
        out << " No trim-and-fill: " << printable(m.more.fill_note) << '.';
        return;
    }
    const trim_and_fill& t = *m.more.fill;
    const rr_per_increment adjusted =
        per_increment(model_estimate(*t.adjusted, t.model), rr_step(s.increment), m.measure);
    out << " Trim-and-fill (" << estimator_name(t.estimator) << ") imputed "
        << (t.k0 == 0 ? std::string("no study")
                      : format("%d stud%s on the %s", t.k0, t.k0 == 1 ? "y" : "ies",
                               t.missing_right ? "right" : "left"))
        << "; the adjusted summary (" << tau2_method_name(t.model) << ") was "
        << rr_open(adjusted.rr, adjusted.lower, adjusted.upper) << ").";
}

void paper_results(std::ostream& out, const meta_analysis& m, const paragraph_settings& s) {
    if (m.more.highest) {
        highest_results(out, *m.more.highest);
    }
    if (m.more.regression) {
        regression_results(out, *m.more.regression);
    }
    if (m.pooled && m.asked.trim_and_fill) {
        fill_results(out, m, s);
    }
    if (m.pooled && m.asked.rank_test) {
        if (m.more.rank) {
            out << " Begg's rank correlation test gave Kendall's \xCF\x84 = "
                << printed_statistic(m.more.rank->tau) << ", " << journal_p(m.more.rank->p) << '.';
        } else {
            out << " No rank correlation test: " << printable(m.more.rank_note) << '.';
        }
    }
}

void trend_extra_results(std::ostream& out, const trend_extras& extras, const std::string& by) {
    if (extras.fit != nullptr) {
        const goodness_of_fit& g = *extras.fit;
        if (g.message.empty()) {
            out << " The fixed-effect trend's deviance was " << printed_statistic(g.deviance)
                << format(" (df = %d, ", g.df) << journal_p(g.p)
                << format(") over %d exposed categories of %d studies, R\xC2\xB2 = ", g.categories,
                          g.studies)
                << printed_statistic(g.R2) << '.';
        } else {
            out << " No goodness of fit: " << printable(g.message) << '.';
        }
    }
    if (extras.groups != nullptr) {
        const curve_subgroups& c = *extras.groups;
        const auto tested =
            std::find_if(c.differences.rbegin(), c.differences.rend(),
                         [](const curve_difference& d) { return d.message.empty(); });
        out << " By " << printable(by) << ", ";
        if (!c.no_test.empty() || tested == c.differences.rend()) {
            out << "the subgroups' curves could not be compared: "
                << printable(!c.no_test.empty()      ? c.no_test
                             : c.differences.empty() ? std::string("no method pooled them")
                                                     : c.differences.back().message)
                << '.';
        } else {
            out << "the test that the subgroups' curves differ gave " << journal_p(tested->test.p)
                << " (" << method_words(tested->method)
                << ", Q_b = " << printed_statistic(tested->test.statistic)
                << format(", df = %d).", tested->test.df);
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
    std::vector<std::string> at;
    for (const prediction* pr : quoted_predictions(c, m)) {
        at.push_back(rr_open(pr->rr, pr->lower, pr->upper) + ") at " + dose_text(pr->dose, s));
    }
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
        std::vector<named_reason> left_out;
        for (const left_out_study& l : m.left_out) {
            left_out.push_back({l.input, l.id, l.reason});
        }
        out << format("; %zu could not be pooled: ", m.left_out.size())
            << studies_with_reasons(left_out);
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
