#include "estimation/output/paragraph_paper.hpp"

#include "estimation/base/format.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/paragraph_words.hpp"
#include "estimation/output/printed_figures.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace morvex::sentences {
namespace {

// The columns of the meta-regression, quoted: "year" and "region".
std::string moderator_names(const std::vector<std::string>& columns) {
    std::vector<std::string> names(columns.size());
    std::transform(columns.begin(), columns.end(), names.begin(),
                   [](const std::string& column) { return quoted(column); });
    return listed(names);
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
        out << format("; %zu could not enter it: ", h.left_out.size())
            << studies_with_reasons(named_reasons(h.left_out));
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
        std::vector<std::string> baselines(r.baselines.size());
        std::transform(r.baselines.begin(), r.baselines.end(), baselines.begin(),
                       [](const std::string& b) { return printable(b); });
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

} // namespace

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

void fit_methods(std::ostream& out, const trend_extras& extras) {
    if (extras.fit != nullptr) {
        out << " The fit of the fixed-effect trend was assessed by its deviance over every "
               "exposed category and by R\xC2\xB2, the share of the categories' weighted sum of "
               "squares it explains.";
    }
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

} // namespace morvex::sentences
